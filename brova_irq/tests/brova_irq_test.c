// SPDX-License-Identifier: GPL-2.0
/*
 * Checks the brova_irq driver inside a virtual machine, on the simulated
 * board (brova_irq_sim), with the kernel's selftest harness.
 *
 * "brova.mode=" on the kernel command line names the boot: "main" runs
 * every case that leaves the machine running; any other mode is the name
 * of the one event row that must restart the board. That row prints the
 * driver lines it expects ("BROVA-EXPECT <level>text|...") and
 * "BROVA-ARMED", then raises the event; run_vm_test.sh reads the console
 * after the marker and checks that the machine reset.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/klog.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <termios.h>

#include "kselftest_harness.h"

#define SIM "/sys/kernel/debug/brova_irq_sim/"
#define DEV "/dev/brova-irq"
#define ACTIONS "/sys/kernel/irq/%u/actions"

/* The driver's requests as the Application OS numbers them. */
enum { REG_AOS = 0x40044300, WAIT, SET_WD, INJECT = 0x40044304, REG_WD };

#define UNTOUCHED	0xdeadbeefu	/* the waiter's mask before the request */
#define UNKNOWN_ID	0x7ffffff0

/* Driver lines as the tests expect them: "<level>text\n" each. */
#define GOT(m)		"<6>-Brova IRQ: Got BROVA irq " m " err 0\n"
#define BUTTON		"<6>*********** Reset button pushed ***********\n"
#define WD_EXPIRED(n)	"<6>-Brova IRQ: WATCHDOG IRQ expired " #n "\n"
#define WD_SIGNAL WD_EXPIRED(1) "<6>-Brova IRQ: WATCHDOG IRQ expired! Signalling application\n"
#define NOT_FOUND(who)	"<3>-Brova IRQ: Error finding " who " task info 0x%x\n"
#define UNREG_BUTTON	"<3>********* Reset button pushed but application not registered *******\n"
#define UNREG_WD	"<3>********* Watchdog expired but application not registered *******\n"
#define INTERRUPTED	"<6>-Brova IRQ: IRQ wait interrupted by signal\n"
#define LOAD_REGS	"map 0xfffe42000 0x1000\nwrite 0x300 0x00000001\n" \
			"write 0x150 0x800493e0\nwrite 0x110 0x000124f8\nwrite 0x160 0x00010050\n"

#define META struct __test_metadata *_metadata

/* Polls @cond for about @ms milliseconds; its last value. */
#define WITHIN(ms, cond) \
	({ for (int i_ = 0; !(cond) && i_ < (ms) / 5; i_++) usleep(5000); (cond); })

static const unsigned int eirqs[5] = { 0, 2, 7, 3, 6 };	/* table order */
static unsigned int irq[5];	/* their Linux numbers */
static char mode[64] = "main";
static int kmsg = -1, fd = -1;
static sigset_t sigill;	/* blocked, taken with sigtimedwait() */

static char *read_file(const char *fmt, unsigned int arg)
{
	static char buf[8192];
	int f, n, total = 0;

	snprintf(buf, sizeof(buf), fmt, arg);
	f = open(buf, O_RDONLY);
	while (f >= 0 && (n = read(f, buf + total, sizeof(buf) - 1 - total)) > 0)
		total += n;
	buf[total] = 0;
	close(f);
	return buf;
}

/* Writes @value to a control of the simulated board. */
static int sim_set(const char *name, long value)
{
	char path[96];
	int f = open(strcat(strcpy(path, SIM), name), O_WRONLY);
	int err = dprintf(f, "%ld", value) < 0 ? -errno : 0;

	close(f);
	return err;
}

/* A field of the driver's state as the simulated board shows it. */
static long state_get(const char *field)
{
	char buf[512] = "\n", key[40], *p;

	snprintf(key, sizeof(key), "\n%s ", field);
	p = strstr(strcat(buf, read_file(SIM "state", 0)), key);
	return p ? strtol(p + strlen(key), NULL, 0) : -1;
}

/* How often interrupt @nr was handled. */
static long irq_count(unsigned int nr)
{
	char *p = read_file("/sys/kernel/irq/%u/per_cpu_count", nr);
	long total = strtol(p, &p, 10);

	while (*p == ',')
		total += strtol(p + 1, &p, 10);
	return total;
}

/* Forgets the log and register accesses so far. */
static void mark(void)
{
	lseek(kmsg, 0, SEEK_END);
	sim_set("regs", 0);
}

/* Appends the driver's lines logged since the mark to @got. */
static void kmsg_read(char *got, size_t size)
{
	char rec[2048], *text;
	ssize_t n;

	while ((n = read(kmsg, rec, sizeof(rec) - 1)) > 0) {
		rec[n] = 0;
		/* "level,sequence,time,flags;text\n" */
		text = strchr(rec, ';') + 1;
		if (strstr(text, "Brova IRQ:") || strstr(text, "IRQ DRIVER:") || *text == '*')
			snprintf(got + strlen(got), size - strlen(got), "<%ld>%s",
				 strtol(rec, NULL, 10) & 7, text);
	}
}

/*
 * The register accesses and the driver's log since the mark are @regs and
 * the lines @fmt makes; the tasklet's lines may come a little later.
 */
static void expect(META, const char *regs, const char *fmt, ...)
{
	char want[2048], got[2048] = "";
	va_list ap;

	va_start(ap, fmt);
	vsnprintf(want, sizeof(want), fmt, ap);
	va_end(ap);
	EXPECT_STREQ(regs, read_file(SIM "regs", 0));
	WITHIN(2000, (kmsg_read(got, sizeof(got)), strlen(got) >= strlen(want)));
	usleep(30000);
	kmsg_read(got, sizeof(got));
	EXPECT_STREQ(want, got);
	mark();
}

/* Loads a module; once the driver is in, its Linux numbers are known. */
static int load(const char *name, const char *params)
{
	char path[64];
	int f = open(strcat(strcat(strcpy(path, "/lib/brova/"), name), ".ko"), O_RDONLY);
	int err = syscall(SYS_finit_module, f, params, 0) ? -errno : 0;

	close(f);
	sscanf(read_file(SIM "state", 0), "irq %u %u %u %u %u", &irq[0], &irq[1], &irq[2], &irq[3],
	       &irq[4]);
	return err;
}

static int unload(void)
{
	return syscall(SYS_delete_module, "brova_irq", O_NONBLOCK) ? -errno : 0;
}

static int brova_major(void)
{
	char *buf = read_file("/proc/devices", 0), *p = strstr(buf, " brova-irq\n");

	while (p && p > buf && p[-1] != '\n')
		p--;
	return p ? atoi(p) : 0;
}

/* The node is made from /proc/devices, as the Application OS does. */
static int open_device(void)
{
	unlink(DEV);
	mknod(DEV, S_IFCHR | 0600, makedev(brova_major(), 0));
	return open(DEV, O_RDWR | O_CLOEXEC);
}

/* Nothing of the driver is left: device number, lines, state. */
static void expect_gone(META)
{
	EXPECT_EQ(0, brova_major());
	for (int i = 0; i < 5; i++)
		EXPECT_STRNE("brova-irq\n", read_file(ACTIONS, irq[i]));
	EXPECT_STREQ("unloaded\n", read_file(SIM "state", 0));
}

static int req(unsigned int cmd, unsigned long arg)
{
	return ioctl(fd, cmd, arg) ? -errno : 0;
}

static void on_signal(int sig)
{
}

/* The driver's signal, once: 4, si_errno @event, SI_QUEUE; 0: none. */
static void expect_signal(META, int event)
{
	struct timespec wait = { event ? 2 : 0, 200000000 }, again = { 0, 100000000 };
	siginfo_t si = { 0 };

	EXPECT_EQ(event ? 4 : -1, sigtimedwait(&sigill, &si, &wait));
	EXPECT_EQ(event, si.si_errno);
	EXPECT_EQ(event ? SI_QUEUE : 0, si.si_code);
	EXPECT_EQ(-1, sigtimedwait(&sigill, &si, &again));
}

/* A wait request in a thread of its own. */
struct waiter {
	pthread_t thread;
	uint32_t mask, *addr;
	int ret;
	volatile pid_t tid;
	volatile int done;
};

static void *wait_main(void *arg)
{
	struct waiter *w = arg;

	w->tid = gettid();
	w->ret = ioctl(fd, WAIT, w->addr) ? -errno : 0;
	__atomic_store_n(&w->done, 1, __ATOMIC_SEQ_CST);
	return NULL;
}

/* The mask goes to @addr, or to the waiter's own mask. */
static struct waiter *start(struct waiter *w, uint32_t *addr)
{
	memset(w, 0, sizeof(*w));
	w->mask = UNTOUCHED;
	w->addr = addr ?: &w->mask;
	pthread_create(&w->thread, NULL, wait_main, w);
	return w;
}

/* Whether the request sleeps in the driver. */
static bool asleep(struct waiter *w)
{
	return WITHIN(3000, w->tid && !w->done &&
		      !strncmp(read_file("/proc/self/task/%u/wchan", w->tid), "brova_irq", 9));
}

/* The request's result; -ETIME when it does not end. */
static int finish(struct waiter *w)
{
	if (!WITHIN(2000, w->done))
		return -ETIME;
	pthread_join(w->thread, NULL);
	return w->ret;
}

/*
 * KILLED: a process that registered itself for both events and was killed
 * before any event; REUSED: the same, reaped, and its ID taken by a new
 * process that is alive.
 */
enum { NONE, SELF, UNKNOWN, EXITED, KILLED, REUSED };

/* The process ID to register as @as. */
static pid_t who(int as)
{
	siginfo_t si;
	pid_t child;
	int f;

	if (as <= UNKNOWN)
		return as == SELF ? getpid() : as == UNKNOWN ? UNKNOWN_ID : 0;
	child = fork();
	if (!child) {
		if (as >= KILLED && !req(REG_AOS, getpid()) && !req(REG_WD, getpid()))
			raise(SIGSTOP);
		_exit(0);
	}
	if (as >= KILLED) {
		waitid(P_PID, child, &si, WSTOPPED);
		kill(child, SIGKILL);
	}
	/* WNOWAIT leaves a zombie. */
	waitid(P_PID, child, &si, WEXITED | (as == KILLED ? WNOWAIT : 0));
	if (as == REUSED) {
		f = open("/proc/sys/kernel/ns_last_pid", O_WRONLY);
		dprintf(f, "%d", child - 1);
		close(f);
		/* Its ID is the one the row expects the driver to report. */
		child = fork();
		if (!child) {
			pause();
			_exit(0);
		}
	}
	return child;
}

static void __attribute__((constructor)) boot_mode(void)
{
	sscanf(strstr(read_file("/proc/cmdline", 0), "brova.mode=") ?: "", "brova.mode=%63s", mode);
	kmsg = open("/dev/kmsg", O_RDONLY | O_NONBLOCK);
	/* The console shows kernel faults; in a restart boot the driver's lines. */
	klogctl(8, NULL, strcmp(mode, "main") ? 8 : 5);
	sigaddset(&sigill, SIGILL);
	sigprocmask(SIG_BLOCK, &sigill, NULL);
}

/* The board fresh and, with @driver, the driver loaded and open; only in the boot @boot. */
static void up(META, const char *boot, bool driver)
{
	int err;

	if (strcmp(mode, boot))
		/* 255: the harness's own status for a skipped test */
		SKIP(_exit(255), "only in the %s boot", boot);
	err = load("brova_irq_sim", "");
	ASSERT_TRUE(err == 0 || err == -EEXIST);
	unload();	/* left over from an earlier test */
	sim_set("fail_map", 0);
	sim_set("fail_irq", -1);
	sim_set("hog_majors", 0);
	mark();
	if (driver) {
		ASSERT_EQ(0, load("brova_irq", ""));
		fd = open_device();
		ASSERT_LE(0, fd);
		mark();
	}
}

/* ------------------------------------------------------------------ */

/* The load log with the first @requested lines; -1: up to the mapping. */
static char *load_log(bool no_major, int requested)
{
	static char b[1024];

	snprintf(b, sizeof(b), "<6>-Brova IRQ: Brova IRQ Driver \n%s"
		 "<6>-Brova IRQ: Mapping CPU register space 0xfffe42000 0x1000\n%s",
		 no_major ? "<1>IRQ DRIVER: Can't allocate major.\n" : "",
		 requested >= 0 ? "<6>-Brova IRQ: setting up 5 IRQs\n" : "");
	for (int i = 0; i < requested; i++)
		sprintf(b + strlen(b), "<6>-Brova IRQ: EIRQ %u requested IRQ line %u \n",
			eirqs[i], irq[i]);
	return b;
}

TEST(load_and_unload)
{
	const char *param = "/sys/module/brova_irq/parameters/pid";
	struct stat st;
	int i;

	up(_metadata, "main", false);
	ASSERT_EQ(0, load("brova_irq", "pid=1234"));
	expect(_metadata, LOAD_REGS, "%s", load_log(false, 5));
	for (i = 0; i < 5; i++) {
		EXPECT_STREQ("brova-irq\n", read_file(ACTIONS, irq[i]));
		EXPECT_EQ(0, irq_count(irq[i]));
	}
	EXPECT_STREQ("\npending 0x0\naos_pid 0\nwd_pid 0\nwd_timeout 30\nfirst_wd_expire 1\n"
		     "regs mapped\n", strchr(read_file(SIM "state", 0), '\n'));
	EXPECT_STREQ("1234\n", read_file(param, 0));
	ASSERT_EQ(0, stat(param, &st));
	EXPECT_EQ(0444u, st.st_mode & 0777);
	fd = open_device();
	EXPECT_EQ(-EWOULDBLOCK, unload());
	close(fd);
	ASSERT_EQ(0, unload());
	expect(_metadata, "unmap\n", "");
	expect_gone(_metadata);

	/* Without a device number the board is still watched. */
	ASSERT_EQ(0, sim_set("hog_majors", 1));
	ASSERT_LT(0, atoi(read_file(SIM "hog_majors", 0)));
	ASSERT_EQ(0, load("brova_irq", ""));
	expect(_metadata, LOAD_REGS, "%s", load_log(true, 5));
	EXPECT_EQ(0, brova_major());
	EXPECT_STREQ("brova-irq\n", read_file(ACTIONS, irq[4]));
	EXPECT_EQ(0, unload());
	expect(_metadata, "unmap\n", "");
	ASSERT_EQ(0, sim_set("hog_majors", 0));
	expect_gone(_metadata);

	ASSERT_EQ(0, sim_set("fail_map", 1));
	EXPECT_EQ(-ENODEV, load("brova_irq", ""));
	expect(_metadata, "", "%s<3>-Brova IRQ: unable to map CPU register space at 0xfffe42000\n",
	       load_log(false, -1));
	expect_gone(_metadata);
	ASSERT_EQ(0, sim_set("fail_map", 0));

	for (i = 0; i < 5; i++) {
		ASSERT_EQ(0, sim_set("fail_irq", eirqs[i]));
		EXPECT_EQ(-EAGAIN, load("brova_irq", ""));
		expect(_metadata, LOAD_REGS "unmap\n",
		       "%s<3>-Brova IRQ: Not able to get IRQ line %u (%u)\n", load_log(false, i),
		       eirqs[i], irq[i]);
		expect_gone(_metadata);
		EXPECT_STREQ("brova-sim-busy\n", read_file(ACTIONS, irq[i]));
	}
}

/* ------------------------------------------------------------------ */

FIXTURE(drv) {};
FIXTURE_SETUP(drv) { up(_metadata, "main", true); }
FIXTURE_TEARDOWN(drv) {}

TEST_F(drv, requests)
{
	static const unsigned int bad[] = {
		0x40044303, 0x40044306, 0x400443ff, 0x80044300, 0x40044200, 0x40084300, 0,
	};
	static const unsigned long steps[][2] = {	/* watchdog timeout set, stored */
		{ 200, 127 }, { 60, 60 }, { 127, 127 }, { 128, 127 }, { 0, 0 }, { 0xffffffff, 127 },
		{ 1, 1 },
	};
	pid_t ids[4] = { getpid(), UNKNOWN_ID, who(EXITED), 0 };
	unsigned int i;

	for (i = 0; i < ARRAY_SIZE(bad); i++)
		EXPECT_EQ(-EINVAL, req(bad[i], 0));
	for (i = 0; i < ARRAY_SIZE(steps); i++) {
		EXPECT_EQ(0, req(SET_WD, steps[i][0]));
		EXPECT_EQ((long)steps[i][1], state_get("wd_timeout"));
		expect(_metadata, steps[i][0] ? "" : "write 0x150 0x80000000\n",
		       steps[i][0] <= 127 ? "" : "<6>-Brova IRQ: WARNING - maximum watchdog timeout is 127s\n");
	}
	for (i = 0; i < 8; i++) {
		EXPECT_EQ(0, req(i < 4 ? REG_AOS : REG_WD, ids[i % 4]));
		expect(_metadata, "", !(i % 4) ? "" : i < 4 ? NOT_FOUND("AOS") : NOT_FOUND("WD"),
		       ids[i % 4]);
		EXPECT_EQ(ids[i % 4], state_get(i < 4 ? "aos_pid" : "wd_pid"));
	}
}

/* Every waiter is woken; the first to take the mask gets it, the others sleep again. */
TEST_F(drv, two_waiters)
{
	struct waiter w[2];

	ASSERT_TRUE(asleep(start(&w[0], NULL)) && asleep(start(&w[1], NULL)));
	EXPECT_EQ(0, req(INJECT, 5));	/* not in the table */
	usleep(300000);
	EXPECT_TRUE(asleep(&w[0]) && asleep(&w[1]));
	EXPECT_EQ(0, state_get("pending"));
	EXPECT_EQ(0, req(INJECT, 2));
	usleep(300000);
	EXPECT_EQ(1, w[0].done + w[1].done);
	EXPECT_EQ(0, req(INJECT, 7));
	EXPECT_EQ(0, finish(&w[0]) | finish(&w[1]));
	EXPECT_EQ(0x84u, w[0].mask + w[1].mask);
	expect(_metadata, "", GOT("0x4") GOT("0x80"));
}

/* A wait that ends without an event: a signal, or a bad address for the mask. */
TEST_F(drv, wait_ends_early)
{
	struct sigaction sa = { .sa_handler = on_signal };
	struct waiter w;

	sigaction(SIGUSR1, &sa, NULL);
	ASSERT_TRUE(asleep(start(&w, NULL)));
	pthread_kill(w.thread, SIGUSR1);
	EXPECT_EQ(-EINTR, finish(&w));
	EXPECT_EQ(0u, w.mask);
	expect(_metadata, "", INTERRUPTED);

	/* With SA_RESTART the request sleeps again. */
	sa.sa_flags = SA_RESTART;
	sigaction(SIGUSR1, &sa, NULL);
	ASSERT_TRUE(asleep(start(&w, NULL)));
	pthread_kill(w.thread, SIGUSR1);
	EXPECT_FALSE(WITHIN(300, w.done));
	EXPECT_TRUE(asleep(&w));
	EXPECT_EQ(0, req(INJECT, 2));
	EXPECT_EQ(0, finish(&w));
	EXPECT_EQ(0x04u, w.mask);
	expect(_metadata, "", INTERRUPTED GOT("0x4"));

	EXPECT_EQ(0, req(INJECT, 2));
	EXPECT_EQ(-EFAULT, finish(start(&w, (uint32_t *)8)));
	expect(_metadata, "", GOT("0x4"));
}

TEST_F(drv, line_held_disabled_until_next_wait)
{
	unsigned int i, round, eirq;
	struct waiter w;
	long before;

	ASSERT_EQ(0, req(REG_AOS, getpid()));
	for (i = 1; i < 5; i++) {
		eirq = eirqs[i];
		before = irq_count(irq[i]);
		for (round = 0; round < 2; round++) {
			ASSERT_TRUE(asleep(start(&w, NULL)));
			EXPECT_EQ(0, sim_set("fire", eirq));
			EXPECT_EQ(0, finish(&w));
			EXPECT_EQ(eirq == 3 || eirq == 6 ? UNTOUCHED : 1u << eirq, w.mask);
			EXPECT_EQ(0, sim_set("fire", eirq));	/* not delivered */
			EXPECT_EQ(before + round + 1, irq_count(irq[i]));
		}
		EXPECT_EQ(0, state_get("pending"));
	}
}

TEST_F(drv, watchdog_after_first_expiry)
{
	struct waiter w;
	long fired;

	ASSERT_EQ(0, req(REG_AOS, getpid()));
	ASSERT_EQ(0, req(REG_WD, getpid()));
	/* Fired while a request waits, so that no wait enables it again. */
	ASSERT_TRUE(asleep(start(&w, NULL)));
	ASSERT_EQ(0, sim_set("fire", 0));
	ASSERT_EQ(0, finish(&w));
	expect_signal(_metadata, 1);
	fired = irq_count(irq[0]);
	mark();

	/* A later expiry only logs. */
	EXPECT_EQ(0, req(INJECT, 0));
	EXPECT_EQ(0, finish(start(&w, NULL)));
	EXPECT_EQ(UNTOUCHED, w.mask);
	expect_signal(_metadata, 0);
	expect(_metadata, "", GOT("0x1") WD_EXPIRED(0));

	/* Its line stays disabled. */
	ASSERT_TRUE(asleep(start(&w, NULL)));
	EXPECT_EQ(0, sim_set("fire", 0));
	EXPECT_FALSE(WITHIN(200, w.done));
	EXPECT_EQ(fired, irq_count(irq[0]));
	EXPECT_EQ(0, req(INJECT, 2));
	EXPECT_EQ(0, finish(&w));
	EXPECT_EQ(0x04u, w.mask);
}

/* ------------------------------------------------------------------ */

/*
 * One event: raised, then taken by a wait request when an Application OS
 * is registered (found or not) and one of its threads waits, or by the
 * tasklet otherwise; a registered one's tasklet leaves the events other
 * than the watchdog and the button to the next wait request.
 */
/* How: the inject request, or a board interrupt with no request waiting or while one waits. */
enum { INJECT_REQ, IDLE, WAITING };

FIXTURE(event) {};
FIXTURE_VARIANT(event) {
	const char *restart;	/* the boot in which the row restarts the board */
	int how;		/* INJECT_REQ, IDLE or WAITING */
	unsigned int line;	/* EIRQs raised, as a mask */
	int aos, wd;		/* who is registered */
	const char *log;	/* driver lines; %x: the ID of the dead process */
	unsigned int mask;	/* copied to the waiter; 0: nothing copied */
	int sig;		/* si_errno of the signal; 0: none */
};
FIXTURE_SETUP(event) { up(_metadata, variant->restart ?: "main", true); }
FIXTURE_TEARDOWN(event) {}

#define ROW(name, ...) FIXTURE_VARIANT_ADD(event, name) { NULL, __VA_ARGS__ }
#define RESTART(name, ...) FIXTURE_VARIANT_ADD(event, name) { #name, __VA_ARGS__, 0, 0 }
ROW(inject_2_7, INJECT_REQ, 0x84, SELF, 0, GOT("0x84"), 0x84, 0);
ROW(inject_2_6, INJECT_REQ, 0x44, SELF, 0, GOT("0x44") BUTTON, 0, 2);
ROW(inject_0_2_3, INJECT_REQ, 0x0d, SELF, SELF, GOT("0xd") WD_SIGNAL, 0, 1);
ROW(waiting_0, WAITING, 0x01, SELF, SELF, GOT("0x1") WD_SIGNAL, 0, 1);
ROW(waiting_3, WAITING, 0x08, SELF, 0, GOT("0x8") BUTTON, 0, 2);
ROW(idle_6, IDLE, 0x40, SELF, 0, BUTTON, 0, 2);
ROW(idle_2_aos_unknown, IDLE, 0x04, UNKNOWN, 0, GOT("0x4"), 0x04, 0);
ROW(unregistered_2, IDLE, 0x04, NONE, 0, "", 0, 0);
ROW(unregistered_0, IDLE, 0x01, NONE, SELF, WD_SIGNAL, 0, 1);
RESTART(button_unregistered, IDLE, 0x08, NONE, 0, BUTTON UNREG_BUTTON);
RESTART(button_reused, IDLE, 0x40, REUSED, REUSED, BUTTON NOT_FOUND("AOS") UNREG_BUTTON);
RESTART(wd_unregistered, IDLE, 0x01, NONE, 0, WD_EXPIRED(1) UNREG_WD);
RESTART(wd_killed, IDLE, 0x01, KILLED, KILLED, NOT_FOUND("WD") WD_EXPIRED(1) UNREG_WD);

TEST_F(event, raise)
{
	pid_t aos = who(variant->aos), wd = variant->wd >= KILLED ? aos : who(variant->wd);
	/* Left for a later wait request; the tasklet takes the watchdog and the button (0x49). */
	unsigned int pending = !aos || variant->how == WAITING ? 0 :
			       variant->how == IDLE ? variant->line & ~0x49u : variant->line;
	char log[1024], *p;
	struct waiter w;
	unsigned int e;

	/* The killed process registered itself. */
	if (aos && variant->aos < KILLED)
		ASSERT_EQ(0, req(REG_AOS, aos));
	if (wd && variant->wd < KILLED)
		ASSERT_EQ(0, req(REG_WD, wd));
	snprintf(log, sizeof(log), variant->log, variant->aos >= UNKNOWN ? aos : wd);
	mark();
	if (variant->restart) {
		/* The lines the restart must log, '|' after each, then the marker they follow. */
		for (p = log; (p = strchr(p, '\n')); *p = '|')
			;
		printf("BROVA-EXPECT %s\nBROVA-ARMED\n", log);
		tcdrain(1);
		usleep(100000);
	}
	if (variant->how == WAITING)
		ASSERT_TRUE(asleep(start(&w, NULL)));
	for (e = 0; e < 8; e++)
		if (variant->line & 1u << e)
			EXPECT_EQ(0, variant->how ? sim_set("fire", e) : req(INJECT, e));
	EXPECT_TRUE(WITHIN(2000, state_get("pending") == pending));
	if (pending)
		start(&w, NULL);
	if (pending || variant->how == WAITING) {
		EXPECT_EQ(0, finish(&w));
		EXPECT_EQ(variant->mask ?: UNTOUCHED, w.mask);
	}
	expect_signal(_metadata, variant->sig);
	expect(_metadata, variant->sig == 1 ? "write 0x150 0x00015f90\n" : "", "%s", log);
}

TEST_HARNESS_MAIN
