// SPDX-License-Identifier: GPL-2.0
/*
 * Brova board interrupt driver.
 *
 * Turns the reset button and the watchdog timer of the board into signals
 * for the Application OS, and hands the other board interrupts to a thread
 * waiting in IRQ_IOC_WAIT. An event nobody is registered for restarts the
 * board at once.
 */
#include <linux/module.h>
#include <linux/version.h>
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/cdev.h>
#include <linux/interrupt.h>
#include <linux/irq.h>
#include <linux/delay.h>
#include <linux/sched.h>
#include <linux/pid.h>
#include <linux/pid_namespace.h>
#include <linux/rcupdate.h>
#include <linux/signal.h>
#include <linux/uaccess.h>
#include <linux/reboot.h>
#include <linux/atomic.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#if LINUX_VERSION_CODE >= KERNEL_VERSION(4, 11, 0)
#include <linux/sched/signal.h>
#endif

#include "brova_irq.h"
#include "brova_irq_board.h"

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Brova interrupt driver");

static int pid;
module_param(pid, int, 0444);
MODULE_PARM_DESC(pid, "PID of process to send signal too when watchdog expires");

/* Global timer group B registers, offsets within the window. */
#define BROVA_TIMER1_BASE	0x150	/* base count; bit 31 inhibits */
#define BROVA_TIMER0_BASE	0x110
#define BROVA_TIMER1_VECPRI	0x160
#define BROVA_TIMER_CONTROL	0x300

#define BROVA_TIMER_INHIBIT	0x80000000
#define BROVA_TIMER_CASCADE01	0x00000001
#define BROVA_TIMER1_STOPPED	(BROVA_TIMER_INHIBIT | 300000)
#define BROVA_TIMER0_COUNT	75000
#define BROVA_TIMER1_VECTOR	0x00010050	/* vector 80, priority 1 */
#define BROVA_TIMER1_RESTART	90000

#define BROVA_WD_TIMEOUT_MAX	127
#define BROVA_WD_TIMEOUT_LOAD	30

/* Signal 4 (SIGILL on the switch); si_errno tells the event apart. */
#define BROVA_SIGNAL		4
#define BROVA_EVENT_WATCHDOG	1
#define BROVA_EVENT_BUTTON	2

#if LINUX_VERSION_CODE >= KERNEL_VERSION(4, 20, 0)
#define brova_siginfo kernel_siginfo
#else
#define brova_siginfo siginfo
#endif

/* EIRQ of each table entry; entry 0 is the watchdog timer. */
static const u32 irq_tbl[BROVA_IRQ_LINES] = { 0, 2, 7, 3, 6 };

/* Controller interrupt of each EIRQ; EIRQ 0 is timer 1 of group B. */
static const irq_hw_number_t irq_maptbl[16] = {
	80, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
};

static struct brova_irq_info brova_irq_info;
static void __iomem *gregs;
static int first_wd_expire = 1;

/*
 * How often each line was disabled by the interrupt handler and not yet
 * enabled again; kept here because current kernels do not let a module
 * read a line's disable depth.
 */
static atomic_t brova_irq_disabled[BROVA_IRQ_LINES];

/* Taking and clearing the pending mask is one step for the handler. */
static DEFINE_SPINLOCK(brova_irq_pending_lock);

/* One watchdog expiry is handled at a time, so only one is "first". */
static DEFINE_SPINLOCK(brova_irq_wd_lock);

/*
 * The registered processes, held by their struct pid so that an ID taken
 * over by a new process after the registered one died is not mistaken for
 * it; NULL when no process had the ID at registration.
 */
static struct pid *brova_irq_aos_task, *brova_irq_wd_task;
static DEFINE_SPINLOCK(brova_irq_reg_lock);

static dev_t brova_irq_devno;
static bool brova_irq_have_devno;
static struct cdev brova_irq_cdev;
static bool brova_irq_cdev_added;

#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 9, 0)
static void brova_irq_do_tasklet(struct tasklet_struct *unused);
static DECLARE_TASKLET(brova_irq_tasklet, brova_irq_do_tasklet);
#else
static void brova_irq_do_tasklet(unsigned long unused);
static DECLARE_TASKLET(brova_irq_tasklet, brova_irq_do_tasklet, 0);
#endif

/* Takes the pending events among @bits; the others stay pending. */
static u32 brova_irq_take_pending(u32 bits)
{
	unsigned long flags;
	u32 mask;

	spin_lock_irqsave(&brova_irq_pending_lock, flags);
	mask = brova_irq_info.pending & bits;
	brova_irq_info.pending &= ~bits;
	spin_unlock_irqrestore(&brova_irq_pending_lock, flags);
	return mask;
}

static void brova_irq_set_pending(u32 bits)
{
	unsigned long flags;

	spin_lock_irqsave(&brova_irq_pending_lock, flags);
	brova_irq_info.pending |= bits;
	spin_unlock_irqrestore(&brova_irq_pending_lock, flags);
}

/* A reference to the process held in @slot, or NULL; put_pid() it. */
static struct pid *brova_irq_registered(struct pid **slot)
{
	struct pid *held;

	spin_lock_bh(&brova_irq_reg_lock);
	held = get_pid(*slot);
	spin_unlock_bh(&brova_irq_reg_lock);
	return held;
}

/*
 * The task of @held, or NULL when there is none or it has exited. Call
 * under rcu_read_lock().
 */
static struct task_struct *brova_irq_find_task(struct pid *held)
{
	struct task_struct *task;

	task = pid_task(held, PIDTYPE_PID);
	if (!task)
		return NULL;
	/* A process that is gone (a zombie included) cannot take a signal. */
	if (task->signal->flags & SIGNAL_GROUP_EXIT)
		return NULL;
	if ((task->flags & PF_EXITING) && thread_group_empty(task))
		return NULL;
	return task;
}

static void brova_irq_signal(struct task_struct *task, int event)
{
	struct brova_siginfo info;

	memset(&info, 0, sizeof(info));
	info.si_signo = BROVA_SIGNAL;
	info.si_errno = event;
	info.si_code = SI_QUEUE;
	send_sig_info(BROVA_SIGNAL, &info, task);
}

static void handle_wd_irq(void)
{
	struct task_struct *task = NULL;
	s32 wd_pid = READ_ONCE(brova_irq_info.wd_pid);
	struct pid *held = brova_irq_registered(&brova_irq_wd_task);

	spin_lock_bh(&brova_irq_wd_lock);
	rcu_read_lock();
	if (wd_pid) {
		task = brova_irq_find_task(held);
		if (!task)
			pr_err("-Brova IRQ: Error finding WD task info 0x%x\n",
			       wd_pid);
	}
	pr_info("-Brova IRQ: WATCHDOG IRQ expired %d\n", first_wd_expire);
	if (!task) {
		pr_err("********* Watchdog expired but application not registered *******\n");
		first_wd_expire = 0;
		emergency_restart();
	} else if (first_wd_expire) {
		brova_irq_board_write(brova_irq_info.regs, BROVA_TIMER1_BASE,
				      BROVA_TIMER1_RESTART);
		pr_info("-Brova IRQ: WATCHDOG IRQ expired! Signalling application\n");
		brova_irq_signal(task, BROVA_EVENT_WATCHDOG);
		first_wd_expire = 0;
	}
	rcu_read_unlock();
	spin_unlock_bh(&brova_irq_wd_lock);
	put_pid(held);
}

static void handle_button_irq(void)
{
	struct task_struct *task = NULL;
	s32 aos_pid = READ_ONCE(brova_irq_info.aos_pid);
	struct pid *held = brova_irq_registered(&brova_irq_aos_task);

	pr_info("*********** Reset button pushed ***********\n");
	rcu_read_lock();
	if (aos_pid) {
		task = brova_irq_find_task(held);
		if (!task)
			pr_err("-Brova IRQ: Error finding AOS task info 0x%x\n",
			       aos_pid);
	}
	if (task) {
		brova_irq_signal(task, BROVA_EVENT_BUTTON);
	} else {
		pr_err("********* Reset button pushed but application not registered *******\n");
		emergency_restart();
	}
	rcu_read_unlock();
	put_pid(held);
}

/*
 * Events that arrive while the Application OS is not registered, or while
 * none of its threads waits. In the second case only the watchdog and the
 * button are taken here (the process is signalled or, when it is gone, the
 * board restarted); the other events stay for the next wait request.
 */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 9, 0)
static void brova_irq_do_tasklet(struct tasklet_struct *unused)
#else
static void brova_irq_do_tasklet(unsigned long unused)
#endif
{
	u32 mask = brova_irq_take_pending(READ_ONCE(brova_irq_info.aos_pid) ?
					  BROVA_WD_MASK | BROVA_BUTTON_MASK : ~0u);

	if (mask & BROVA_WD_MASK)
		handle_wd_irq();
	if (mask & BROVA_BUTTON_MASK)
		handle_button_irq();
}

static irqreturn_t brova_irq(int irq, void *dev_id)
{
	bool waiting;
	int i;

	for (i = 0; i < BROVA_IRQ_LINES; i++) {
		if (brova_irq_info.irq[i] != irq)
			continue;
		brova_irq_set_pending(BIT(irq_tbl[i]));
		/* Stays off until the next wait request enables it again. */
		disable_irq_nosync(irq);
		atomic_inc(&brova_irq_disabled[i]);
	}
	/* Asked before the wake-up, which takes the sleepers off the queue. */
	waiting = wq_has_sleeper(&brova_irq_info.irq_waitq);
	wake_up(&brova_irq_info.irq_waitq);
	/*
	 * With nobody waiting, a registered Application OS that has died
	 * would leave the event pending forever and the board never restarted.
	 */
	if (!READ_ONCE(brova_irq_info.aos_pid) || !waiting)
		tasklet_schedule(&brova_irq_tasklet);
	return IRQ_HANDLED;
}

static void brova_irq_enable_lines(void)
{
	int i;

	for (i = 0; i < BROVA_IRQ_LINES; i++) {
		/* After the first expiry the watchdog line stays off. */
		if (irq_tbl[i] == BROVA_EIRQ_WATCHDOG && !READ_ONCE(first_wd_expire))
			continue;
		if (atomic_dec_if_positive(&brova_irq_disabled[i]) >= 0)
			enable_irq(brova_irq_info.irq[i]);
	}
}

static long brova_irq_wait(u32 __user *umask)
{
	u32 mask = 0;
	int err;

	brova_irq_enable_lines();
	/* Every waiter is woken; the first one to take the mask gets it. */
	do {
		err = wait_event_interruptible(brova_irq_info.irq_waitq,
					       READ_ONCE(brova_irq_info.pending));
		if (err)
			break;
		mask = brova_irq_take_pending(~0u);
	} while (!mask);

	if (err) {
		pr_info("-Brova IRQ: IRQ wait interrupted by signal\n");
		mask = 0;
	} else {
		pr_info("-Brova IRQ: Got BROVA irq 0x%x err %d\n", mask, 0);
	}

	/* The mask is consumed whole: the watchdog first, then the button. */
	if (mask & BROVA_WD_MASK) {
		handle_wd_irq();
		return 0;
	}
	if (mask & BROVA_BUTTON_MASK) {
		handle_button_irq();
		return 0;
	}
	if (put_user(mask, umask))
		return -EFAULT;
	return err;
}

/*
 * IDs are those of the initial namespace: the tasklet runs on behalf of
 * whatever task it interrupted, so that task's namespace means nothing.
 */
static void brova_irq_register(s32 *slot, struct pid **task_slot, s32 nr,
			       bool watchdog)
{
	struct pid *held = NULL, *old;
	bool found;

	rcu_read_lock();
	if (nr > 0)
		held = get_pid(find_pid_ns(nr, &init_pid_ns));
	found = brova_irq_find_task(held) != NULL;
	rcu_read_unlock();

	spin_lock_bh(&brova_irq_reg_lock);
	old = *task_slot;
	*task_slot = held;
	WRITE_ONCE(*slot, nr);
	spin_unlock_bh(&brova_irq_reg_lock);
	put_pid(old);
	if (found)
		return;
	if (watchdog)
		pr_err("-Brova IRQ: Error finding WD task info 0x%x\n", nr);
	else
		pr_err("-Brova IRQ: Error finding AOS task info 0x%x\n", nr);
}

static void brova_irq_set_wd_timeout(u32 timeout)
{
	if (timeout > BROVA_WD_TIMEOUT_MAX) {
		pr_info("-Brova IRQ: WARNING - maximum watchdog timeout is 127s\n");
		timeout = BROVA_WD_TIMEOUT_MAX;
	}
	brova_irq_info.wd_timeout = timeout;
	if (!timeout)
		brova_irq_board_write(brova_irq_info.regs, BROVA_TIMER1_BASE,
				      BROVA_TIMER_INHIBIT);
}

static void brova_irq_inject(u32 eirq)
{
	int i;

	for (i = 0; i < BROVA_IRQ_LINES; i++) {
		if (irq_tbl[i] == eirq) {
			brova_irq_set_pending(BIT(eirq));
			break;
		}
	}
	wake_up_interruptible(&brova_irq_info.irq_waitq);
}

static long brova_irq_ioctl(struct file *file, unsigned int cmd,
			    unsigned long arg)
{
	switch (cmd) {
	case IRQ_IOC_REGISTER_AOS:
		brova_irq_register(&brova_irq_info.aos_pid, &brova_irq_aos_task,
				   (s32)arg, false);
		return 0;
	case IRQ_IOC_WAIT:
		return brova_irq_wait((u32 __user *)arg);
	case IRQ_IOC_SET_WD_TIMEOUT:
		brova_irq_set_wd_timeout((u32)arg);
		return 0;
	case IRQ_IOC_INJECT:
		brova_irq_inject((u32)arg);
		return 0;
	case IRQ_IOC_REGISTER_WD:
		brova_irq_register(&brova_irq_info.wd_pid, &brova_irq_wd_task,
				   (s32)arg, true);
		return 0;
	default:
		return -EINVAL;
	}
}

static int brova_irq_open(struct inode *inode, struct file *file)
{
	return 0;
}

static int brova_irq_release(struct inode *inode, struct file *file)
{
	return 0;
}

static const struct file_operations brova_irq_fops = {
	.owner		= THIS_MODULE,
	.open		= brova_irq_open,
	.release	= brova_irq_release,
	.unlocked_ioctl	= brova_irq_ioctl,
};

static void brova_irq_free_lines(int count)
{
	while (count--)
		free_irq(brova_irq_info.irq[count], NULL);
	/* No handler runs now; make sure no tasklet does either. */
	tasklet_kill(&brova_irq_tasklet);
}

static void brova_irq_unmap_regs(void)
{
	if (!brova_irq_info.regs)
		return;
	brova_irq_board_unmap(brova_irq_info.regs);
	brova_irq_info.regs = NULL;
	gregs = NULL;
}

static void brova_irq_release_chrdev(void)
{
	if (brova_irq_cdev_added)
		cdev_del(&brova_irq_cdev);
	brova_irq_cdev_added = false;
	if (brova_irq_have_devno)
		unregister_chrdev_region(brova_irq_devno, 1);
	brova_irq_have_devno = false;
}

static int brova_irq_request_lines(void)
{
	unsigned int irq;
	int i, err;

	for (i = 0; i < BROVA_IRQ_LINES; i++) {
		irq = brova_irq_board_map_irq(irq_maptbl[irq_tbl[i]]);
		brova_irq_info.irq[i] = irq;
		/* Interrupt 0 is nobody's: a mapping that failed. */
		err = -ENXIO;
		if (irq) {
			irq_set_irq_type(irq, IRQ_TYPE_LEVEL_LOW);
			err = request_threaded_irq(irq, brova_irq, NULL, 0,
						   BROVA_IRQ_NAME, NULL);
		}
		if (err) {
			pr_err("-Brova IRQ: Not able to get IRQ line %d (%d)\n",
			       irq_tbl[i], irq);
			brova_irq_free_lines(i);
			return -EAGAIN;
		}
		pr_info("-Brova IRQ: EIRQ %d requested IRQ line %d \n",
			irq_tbl[i], irq);
	}
	return 0;
}

static int __init brova_irq_init(void)
{
	void __iomem *regs;
	int i, err;

	pr_info("-Brova IRQ: Brova IRQ Driver \n");

	/* Without a device number the board is still watched; only the
	 * Application OS cannot reach the driver.
	 */
	err = alloc_chrdev_region(&brova_irq_devno, 0, 1, BROVA_IRQ_NAME);
	brova_irq_have_devno = !err;
	if (err)
		pr_alert("IRQ DRIVER: Can't allocate major.\n");
	cdev_init(&brova_irq_cdev, &brova_irq_fops);
	brova_irq_cdev.owner = THIS_MODULE;

	memset(&brova_irq_info, 0, sizeof(brova_irq_info));
	brova_irq_info.wd_timeout = BROVA_WD_TIMEOUT_LOAD;
	init_waitqueue_head(&brova_irq_info.irq_waitq);
	first_wd_expire = 1;
	for (i = 0; i < BROVA_IRQ_LINES; i++)
		atomic_set(&brova_irq_disabled[i], 0);
	brova_irq_board_attach(&brova_irq_info, &first_wd_expire);

	pr_info("-Brova IRQ: Mapping CPU register space 0x%llx 0x%x\n",
		BROVA_REGS_BASE, BROVA_REGS_SIZE);
	regs = brova_irq_board_map(BROVA_REGS_BASE, BROVA_REGS_SIZE);
	if (!regs) {
		pr_err("-Brova IRQ: unable to map CPU register space at 0x%08llx\n",
		       BROVA_REGS_BASE);
		err = -ENODEV;
		goto fail_chrdev;
	}
	brova_irq_info.regs = regs;
	gregs = regs;

	/* Timer 1 is set up stopped; the Application OS starts it. */
	brova_irq_board_write(regs, BROVA_TIMER_CONTROL, BROVA_TIMER_CASCADE01);
	brova_irq_board_write(regs, BROVA_TIMER1_BASE, BROVA_TIMER1_STOPPED);
	brova_irq_board_write(regs, BROVA_TIMER0_BASE, BROVA_TIMER0_COUNT);
	brova_irq_board_write(regs, BROVA_TIMER1_VECPRI, BROVA_TIMER1_VECTOR);

	pr_info("-Brova IRQ: setting up %d IRQs\n", BROVA_IRQ_LINES);
	usleep_range(1000, 2000);

	err = brova_irq_request_lines();
	if (err)
		goto fail_regs;

	/* Reachable from user space only once everything it uses is set up. */
	if (brova_irq_have_devno) {
		err = cdev_add(&brova_irq_cdev, brova_irq_devno, 1);
		if (err) {
			pr_err("-Brova IRQ: Can't add character device (%d)\n",
			       err);
			goto fail_lines;
		}
		brova_irq_cdev_added = true;
	}
	return 0;

fail_lines:
	brova_irq_free_lines(BROVA_IRQ_LINES);
fail_regs:
	brova_irq_unmap_regs();
fail_chrdev:
	brova_irq_release_chrdev();
	brova_irq_board_detach();
	return err;
}

static void __exit brova_irq_exit(void)
{
	brova_irq_board_detach();
	brova_irq_free_lines(BROVA_IRQ_LINES);
	brova_irq_unmap_regs();
	brova_irq_release_chrdev();
	put_pid(brova_irq_aos_task);
	put_pid(brova_irq_wd_task);
}

module_init(brova_irq_init);
module_exit(brova_irq_exit);
