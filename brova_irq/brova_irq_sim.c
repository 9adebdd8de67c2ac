// SPDX-License-Identifier: GPL-2.0
/*
 * Simulated Brova board, for running the driver in a virtual machine.
 *
 * The controller's register window lives in memory and every access to it
 * is logged. The board interrupts come from an interrupt domain of this
 * module with the kernel's dummy chip and are raised in hard-interrupt
 * context through generic_handle_irq(), so the kernel's own disable and
 * enable machinery runs as it does on the switch.
 *
 * Controls, in debugfs under brova_irq_sim/:
 *   fire        write an EIRQ number: raise that board interrupt once
 *   regs        register log, one access a line ("map BASE SIZE",
 *               "write OFFSET VALUE", "unmap"); any write clears it
 *   fail_map    1: the register window cannot be mapped
 *   fail_irq    EIRQ whose interrupt line someone else holds; -1: none
 *   hog_majors  1: take every free dynamic character-device major
 *   state       the driver's state while it is loaded
 *
 * The driver built for this board links against the functions exported
 * here, so this module is loaded first and its settings outlive the driver.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/io.h>
#include <linux/irq.h>
#include <linux/irqdomain.h>
#include <linux/interrupt.h>
#include <linux/irq_work.h>
#include <linux/debugfs.h>
#include <linux/seq_file.h>
#include <linux/fs.h>
#include <linux/mutex.h>
#include <linux/spinlock.h>
#include <linux/uaccess.h>

#include "brova_irq.h"
#include "brova_irq_board.h"

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Simulated Brova board for the interrupt driver");

#define SIM_EIRQS		16
#define SIM_DOMAIN_SIZE		128
#define SIM_LOG_MAX		256
#define SIM_HOG_MAX		512

/* Board wiring: EIRQ 0 is the watchdog timer, EIRQ n the external line n. */
static const irq_hw_number_t sim_wiring[SIM_EIRQS] = {
	80, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
};

enum sim_op { SIM_MAP, SIM_WRITE, SIM_UNMAP };

struct sim_access {
	enum sim_op op;
	u64 where;	/* base address or register offset */
	u32 value;	/* size or value written */
};

static struct sim_access sim_log[SIM_LOG_MAX];
static unsigned int sim_log_len;
static unsigned int sim_log_lost;
static DEFINE_SPINLOCK(sim_log_lock);

static u32 *sim_window;
static bool sim_fail_map;

static struct fwnode_handle *sim_fwnode;
static struct irq_domain *sim_domain;

static DEFINE_MUTEX(sim_fire_mutex);
static struct irq_work sim_fire_work;
static unsigned int sim_fire_irq;
static int sim_fire_result;

static DEFINE_MUTEX(sim_busy_mutex);
static int sim_busy_eirq = -1;
static unsigned int sim_busy_irq;

static DEFINE_MUTEX(sim_hog_mutex);
static dev_t sim_hog[SIM_HOG_MAX];
static unsigned int sim_hog_count;

static DEFINE_MUTEX(sim_state_mutex);
static const struct brova_irq_info *sim_info;
static const int *sim_first_wd_expire;

static struct dentry *sim_dir;

static void sim_log_add(enum sim_op op, u64 where, u32 value)
{
	unsigned long flags;

	spin_lock_irqsave(&sim_log_lock, flags);
	if (sim_log_len < SIM_LOG_MAX) {
		sim_log[sim_log_len].op = op;
		sim_log[sim_log_len].where = where;
		sim_log[sim_log_len].value = value;
		sim_log_len++;
	} else {
		sim_log_lost++;
	}
	spin_unlock_irqrestore(&sim_log_lock, flags);
}

void __iomem *brova_irq_board_map(phys_addr_t base, unsigned long size)
{
	if (READ_ONCE(sim_fail_map))
		return NULL;
	if (base != BROVA_REGS_BASE || size > BROVA_REGS_SIZE)
		return NULL;
	sim_log_add(SIM_MAP, base, size);
	return (void __force __iomem *)sim_window;
}
EXPORT_SYMBOL_GPL(brova_irq_board_map);

void brova_irq_board_unmap(void __iomem *regs)
{
	WARN_ON(regs != (void __force __iomem *)sim_window);
	sim_log_add(SIM_UNMAP, 0, 0);
}
EXPORT_SYMBOL_GPL(brova_irq_board_unmap);

void brova_irq_board_write(void __iomem *regs, unsigned int offset, u32 value)
{
	if (WARN_ON(regs != (void __force __iomem *)sim_window ||
		    offset >= BROVA_REGS_SIZE || offset % 4))
		return;
	WRITE_ONCE(sim_window[offset / 4], value);
	sim_log_add(SIM_WRITE, offset, value);
}
EXPORT_SYMBOL_GPL(brova_irq_board_write);

unsigned int brova_irq_board_map_irq(irq_hw_number_t hwirq)
{
	return irq_create_mapping(sim_domain, hwirq);
}
EXPORT_SYMBOL_GPL(brova_irq_board_map_irq);

void brova_irq_board_attach(const struct brova_irq_info *info,
			    const int *first_wd_expire)
{
	mutex_lock(&sim_state_mutex);
	sim_info = info;
	sim_first_wd_expire = first_wd_expire;
	mutex_unlock(&sim_state_mutex);
}
EXPORT_SYMBOL_GPL(brova_irq_board_attach);

void brova_irq_board_detach(void)
{
	mutex_lock(&sim_state_mutex);
	sim_info = NULL;
	sim_first_wd_expire = NULL;
	mutex_unlock(&sim_state_mutex);
}
EXPORT_SYMBOL_GPL(brova_irq_board_detach);

static int sim_domain_map(struct irq_domain *d, unsigned int virq,
			  irq_hw_number_t hwirq)
{
	irq_set_chip_and_handler_name(virq, &dummy_irq_chip, handle_level_irq,
				      "level");
	/* Board lines are level-triggered: a press while the line is off is
	 * not replayed when it is enabled again.
	 */
	irq_set_status_flags(virq, IRQ_LEVEL);
	return 0;
}

static const struct irq_domain_ops sim_domain_ops = {
	.map	= sim_domain_map,
	.xlate	= irq_domain_xlate_onecell,
};

static void sim_fire_fn(struct irq_work *work)
{
	sim_fire_result = generic_handle_irq(sim_fire_irq);
}

static ssize_t sim_fire_write(struct file *file, const char __user *buf,
			      size_t len, loff_t *ppos)
{
	unsigned int eirq, irq;
	int err;

	err = kstrtouint_from_user(buf, len, 0, &eirq);
	if (err)
		return err;
	if (eirq >= SIM_EIRQS)
		return -EINVAL;
	irq = irq_find_mapping(sim_domain, sim_wiring[eirq]);
	if (!irq)
		return -ENXIO;	/* nobody has connected that line */

	mutex_lock(&sim_fire_mutex);
	sim_fire_irq = irq;
	irq_work_queue(&sim_fire_work);
	irq_work_sync(&sim_fire_work);
	err = sim_fire_result;
	mutex_unlock(&sim_fire_mutex);
	return err ? err : len;
}

static const struct file_operations sim_fire_fops = {
	.owner	= THIS_MODULE,
	.open	= simple_open,
	.write	= sim_fire_write,
	.llseek	= noop_llseek,
};

static int sim_regs_show(struct seq_file *m, void *unused)
{
	struct sim_access *copy;
	unsigned int i, len, lost;
	unsigned long flags;

	copy = kmalloc_array(SIM_LOG_MAX, sizeof(*copy), GFP_KERNEL);
	if (!copy)
		return -ENOMEM;
	spin_lock_irqsave(&sim_log_lock, flags);
	len = sim_log_len;
	lost = sim_log_lost;
	memcpy(copy, sim_log, len * sizeof(*copy));
	spin_unlock_irqrestore(&sim_log_lock, flags);

	for (i = 0; i < len; i++) {
		switch (copy[i].op) {
		case SIM_MAP:
			seq_printf(m, "map 0x%llx 0x%x\n", copy[i].where,
				   copy[i].value);
			break;
		case SIM_WRITE:
			seq_printf(m, "write 0x%03llx 0x%08x\n", copy[i].where,
				   copy[i].value);
			break;
		case SIM_UNMAP:
			seq_puts(m, "unmap\n");
			break;
		}
	}
	if (lost)
		seq_printf(m, "lost %u\n", lost);
	kfree(copy);
	return 0;
}

static int sim_regs_open(struct inode *inode, struct file *file)
{
	return single_open(file, sim_regs_show, NULL);
}

static ssize_t sim_regs_write(struct file *file, const char __user *buf,
			      size_t len, loff_t *ppos)
{
	unsigned long flags;

	spin_lock_irqsave(&sim_log_lock, flags);
	sim_log_len = 0;
	sim_log_lost = 0;
	spin_unlock_irqrestore(&sim_log_lock, flags);
	return len;
}

static const struct file_operations sim_regs_fops = {
	.owner		= THIS_MODULE,
	.open		= sim_regs_open,
	.read		= seq_read,
	.write		= sim_regs_write,
	.llseek		= seq_lseek,
	.release	= single_release,
};

static irqreturn_t sim_busy_handler(int irq, void *dev_id)
{
	return IRQ_HANDLED;
}

static void sim_busy_release(void)
{
	if (sim_busy_eirq >= 0)
		free_irq(sim_busy_irq, &sim_busy_eirq);
	sim_busy_eirq = -1;
	sim_busy_irq = 0;
}

static ssize_t sim_fail_irq_read(struct file *file, char __user *buf,
				 size_t len, loff_t *ppos)
{
	char text[16];
	int n;

	mutex_lock(&sim_busy_mutex);
	n = scnprintf(text, sizeof(text), "%d\n", sim_busy_eirq);
	mutex_unlock(&sim_busy_mutex);
	return simple_read_from_buffer(buf, len, ppos, text, n);
}

/* Holding the line makes the driver's own request fail for real. */
static int sim_fail_irq_set(int eirq)
{
	unsigned int irq;
	int err = 0;

	if (eirq < -1 || eirq >= SIM_EIRQS)
		return -EINVAL;
	mutex_lock(&sim_busy_mutex);
	sim_busy_release();
	if (eirq >= 0) {
		irq = irq_create_mapping(sim_domain, sim_wiring[eirq]);
		if (!irq)
			err = -ENXIO;
		else
			err = request_irq(irq, sim_busy_handler, 0,
					  "brova-sim-busy", &sim_busy_eirq);
		if (!err) {
			sim_busy_irq = irq;
			sim_busy_eirq = eirq;
		}
	}
	mutex_unlock(&sim_busy_mutex);
	return err;
}

static ssize_t sim_fail_irq_write(struct file *file, const char __user *buf,
				  size_t len, loff_t *ppos)
{
	int eirq, err;

	err = kstrtoint_from_user(buf, len, 0, &eirq);
	if (err)
		return err;
	err = sim_fail_irq_set(eirq);
	return err ? err : len;
}

static const struct file_operations sim_fail_irq_fops = {
	.owner	= THIS_MODULE,
	.open	= simple_open,
	.read	= sim_fail_irq_read,
	.write	= sim_fail_irq_write,
	.llseek	= default_llseek,
};

static void sim_hog_release(void)
{
	while (sim_hog_count)
		unregister_chrdev_region(sim_hog[--sim_hog_count], 1);
}

static int sim_hog_get(void *data, u64 *val)
{
	mutex_lock(&sim_hog_mutex);
	*val = sim_hog_count;
	mutex_unlock(&sim_hog_mutex);
	return 0;
}

static int sim_hog_set(void *data, u64 val)
{
	dev_t dev;

	mutex_lock(&sim_hog_mutex);
	if (val) {
		while (sim_hog_count < SIM_HOG_MAX &&
		       !alloc_chrdev_region(&dev, 0, 1, "brova-sim-hog"))
			sim_hog[sim_hog_count++] = dev;
	} else {
		sim_hog_release();
	}
	mutex_unlock(&sim_hog_mutex);
	return 0;
}
DEFINE_DEBUGFS_ATTRIBUTE(sim_hog_fops, sim_hog_get, sim_hog_set, "%llu\n");

static int sim_state_show(struct seq_file *m, void *unused)
{
	const struct brova_irq_info *info;
	int i;

	mutex_lock(&sim_state_mutex);
	info = sim_info;
	if (!info) {
		seq_puts(m, "unloaded\n");
		goto out;
	}
	seq_puts(m, "irq");
	for (i = 0; i < BROVA_IRQ_LINES; i++)
		seq_printf(m, " %u", READ_ONCE(info->irq[i]));
	seq_printf(m, "\npending 0x%x\n", READ_ONCE(info->pending));
	seq_printf(m, "aos_pid %d\n", READ_ONCE(info->aos_pid));
	seq_printf(m, "wd_pid %d\n", READ_ONCE(info->wd_pid));
	seq_printf(m, "wd_timeout %u\n", READ_ONCE(info->wd_timeout));
	seq_printf(m, "first_wd_expire %d\n", READ_ONCE(*sim_first_wd_expire));
	seq_printf(m, "regs %s\n",
		   READ_ONCE(info->regs) ? "mapped" : "unmapped");
out:
	mutex_unlock(&sim_state_mutex);
	return 0;
}
DEFINE_SHOW_ATTRIBUTE(sim_state);

static int __init brova_irq_sim_init(void)
{
	sim_window = kzalloc(BROVA_REGS_SIZE, GFP_KERNEL);
	if (!sim_window)
		return -ENOMEM;

	sim_fwnode = irq_domain_alloc_named_fwnode("brova-sim");
	if (!sim_fwnode)
		goto fail_window;
	sim_domain = irq_domain_create_linear(sim_fwnode, SIM_DOMAIN_SIZE,
					      &sim_domain_ops, NULL);
	if (!sim_domain)
		goto fail_fwnode;

	init_irq_work(&sim_fire_work, sim_fire_fn);

	sim_dir = debugfs_create_dir("brova_irq_sim", NULL);
	debugfs_create_file("fire", 0200, sim_dir, NULL, &sim_fire_fops);
	debugfs_create_file("regs", 0600, sim_dir, NULL, &sim_regs_fops);
	debugfs_create_bool("fail_map", 0600, sim_dir, &sim_fail_map);
	debugfs_create_file("fail_irq", 0600, sim_dir, NULL,
			    &sim_fail_irq_fops);
	debugfs_create_file_unsafe("hog_majors", 0600, sim_dir, NULL,
				   &sim_hog_fops);
	debugfs_create_file("state", 0400, sim_dir, NULL, &sim_state_fops);
	return 0;

fail_fwnode:
	irq_domain_free_fwnode(sim_fwnode);
fail_window:
	kfree(sim_window);
	return -ENOMEM;
}

static void __exit brova_irq_sim_exit(void)
{
	unsigned int irq;
	int i;

	debugfs_remove_recursive(sim_dir);
	sim_busy_release();
	sim_hog_release();
	for (i = 0; i < SIM_EIRQS; i++) {
		irq = irq_find_mapping(sim_domain, sim_wiring[i]);
		if (irq)
			irq_dispose_mapping(irq);
	}
	irq_domain_remove(sim_domain);
	irq_domain_free_fwnode(sim_fwnode);
	kfree(sim_window);
}

module_init(brova_irq_sim_init);
module_exit(brova_irq_sim_exit);
