/* SPDX-License-Identifier: GPL-2.0 */
/*
 * What the driver needs from the board it runs on. Two implementations
 * exist, chosen when the module is built: the switch itself
 * (board_switch.c) and a simulated board for tests (brova_irq_sim.c).
 */
#ifndef BROVA_IRQ_BOARD_H
#define BROVA_IRQ_BOARD_H

#include <linux/types.h>
#include <linux/irqdomain.h>

struct brova_irq_info;

/* Map the controller's register window; NULL when it cannot be mapped. */
void __iomem *brova_irq_board_map(phys_addr_t base, unsigned long size);
void brova_irq_board_unmap(void __iomem *regs);

/* Write one 32-bit controller register at @offset within the window. */
void brova_irq_board_write(void __iomem *regs, unsigned int offset, u32 value);

/* Linux interrupt number for a controller interrupt; 0 when none. */
unsigned int brova_irq_board_map_irq(irq_hw_number_t hwirq);

/*
 * The driver's state while it is loaded, for boards that show it (the
 * simulated board does, read-only); the switch ignores it.
 */
void brova_irq_board_attach(const struct brova_irq_info *info,
			    const int *first_wd_expire);
void brova_irq_board_detach(void);

#endif /* BROVA_IRQ_BOARD_H */
