// SPDX-License-Identifier: GPL-2.0
/*
 * Board layer of the switch: the CPU's interrupt controller, its registers
 * reached through an uncached mapping, its interrupts through the default
 * interrupt domain.
 */
#include <linux/io.h>
#include <linux/irqdomain.h>

#include "brova_irq.h"
#include "brova_irq_board.h"

void __iomem *brova_irq_board_map(phys_addr_t base, unsigned long size)
{
	return ioremap(base, size);
}

void brova_irq_board_unmap(void __iomem *regs)
{
	iounmap(regs);
}

void brova_irq_board_write(void __iomem *regs, unsigned int offset, u32 value)
{
	/* The controller's registers are big-endian. */
	iowrite32be(value, regs + offset);
}

unsigned int brova_irq_board_map_irq(irq_hw_number_t hwirq)
{
	return irq_create_mapping(NULL, hwirq);
}

void brova_irq_board_attach(const struct brova_irq_info *info,
			    const int *first_wd_expire)
{
}

void brova_irq_board_detach(void)
{
}
