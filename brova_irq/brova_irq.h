/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Brova board interrupt driver: state shared between the driver and the
 * board layer it is built with.
 */
#ifndef BROVA_IRQ_H
#define BROVA_IRQ_H

#include <linux/types.h>
#include <linux/wait.h>
#include <linux/interrupt.h>

#define BROVA_IRQ_NAME		"brova-irq"
#define BROVA_IRQ_LINES		5

/* Interrupt controller register window (second global-timer group). */
#define BROVA_REGS_BASE		0xFFFE42000ULL
#define BROVA_REGS_SIZE		0x1000

/* Pending-mask bits, one per EIRQ. */
#define BROVA_EIRQ_WATCHDOG	0
#define BROVA_WD_MASK		BIT(BROVA_EIRQ_WATCHDOG)
#define BROVA_BUTTON_MASK	(BIT(3) | BIT(6))

/*
 * Request numbers as the Application OS uses them: _IOR('C', n, 4) on the
 * switch's CPU. Spelled out so that they are the same on every host.
 */
#define IRQ_IOC_REGISTER_AOS	0x40044300
#define IRQ_IOC_WAIT		0x40044301
#define IRQ_IOC_SET_WD_TIMEOUT	0x40044302
#define IRQ_IOC_INJECT		0x40044304
#define IRQ_IOC_REGISTER_WD	0x40044305

struct brova_irq_info {
	u32 irq[BROVA_IRQ_LINES];	/* Linux numbers, in table order */
	u32 pending;			/* events not yet consumed, bit = EIRQ */
	wait_queue_head_t irq_waitq;
	s32 aos_pid;			/* signalled on a reset-button press */
	s32 wd_pid;			/* signalled on a watchdog expiry */
	void __iomem *regs;
	u32 wd_timeout;			/* seconds */
};

#endif /* BROVA_IRQ_H */
