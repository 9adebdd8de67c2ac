// SPDX-License-Identifier: GPL-2.0
/*
 * Checks the brova_irq driver inside a virtual machine, on the simulated
 * board (brova_irq_sim). Started by the VM's /init with a mode:
 *
 *   main                 every case that leaves the machine running
 *   button_unregistered  reset button, nobody registered: restart
 *   button_zombie        reset button, registered process a zombie: restart
 *   wd_unregistered      watchdog expiry, nobody registered: restart
 *   wd_exited            watchdog expiry, registered process gone: restart
 *
 * Results go to the console, one line a case:
 *   BROVA-CASE <name> PASS | BROVA-CASE <name> FAIL: <why>
 * then "BROVA-SUMMARY <n> passed, <m> failed" and "BROVA-END". A restart
 * mode prints the kernel lines it expects ("BROVA-EXPECT <level>text"),
 * then "BROVA-ARMED", and triggers the event; the harness checks the
 * console after that marker and that the machine reset.
 *
 * The machine is switched off through QEMU's isa-debug-exit port, so that
 * the harness can tell an orderly end (exit status 33) from a reset (0).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <sys/klog.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define SIM_DIR		"/sys/kernel/debug/brova_irq_sim"
#define MOD_DIR		"/lib/brova"
#define DEV_PATH	"/dev/brova-irq"

#define IRQ_IOC_REGISTER_AOS	0x40044300u
#define IRQ_IOC_WAIT		0x40044301u
#define IRQ_IOC_SET_WD_TIMEOUT	0x40044302u
#define IRQ_IOC_NOT_A_COMMAND	0x40044303u
#define IRQ_IOC_INJECT		0x40044304u
#define IRQ_IOC_REGISTER_WD	0x40044305u

#define DEBUG_EXIT_PORT	0xf4
#define DEBUG_EXIT_DONE	0x10	/* QEMU exits with (0x10 << 1) | 1 = 33 */

#define LINE_MAX_LEN	320
#define LINES_MAX	64
#define UNTOUCHED	0xdeadbeefu

/* Table order of the driver: EIRQ of each entry. */
static const unsigned int eirqs[5] = { 0, 2, 7, 3, 6 };
static unsigned int linux_irq[5];	/* learnt from the first load */

/* ------------------------------------------------------------------ */
/* Reporting */

static int passed, failed;
static char case_name[64];
static char case_why[512];
static bool case_bad;

static void out(const char *fmt, ...)
{
	char buf[1024];
	va_list ap;
	int n;

	va_start(ap, fmt);
	n = vsnprintf(buf, sizeof(buf) - 1, fmt, ap);
	va_end(ap);
	if (n < 0)
		return;
	if (n > (int)sizeof(buf) - 2)
		n = sizeof(buf) - 2;
	buf[n++] = '\n';
	/* One write a line, so that lines do not mix on the console. */
	if (write(1, buf, n) < 0)
		return;
}

static void begin(const char *name);

static void fail(const char *fmt, ...)
{
	char buf[512];
	va_list ap;

	va_start(ap, fmt);
	vsnprintf(buf, sizeof(buf), fmt, ap);
	va_end(ap);
	out("BROVA-DETAIL %s: %s", case_name, buf);
	if (!case_bad)
		snprintf(case_why, sizeof(case_why), "%s", buf);
	case_bad = true;
}

#define check(cond, ...)				\
	do {						\
		if (!(cond))				\
			fail(__VA_ARGS__);		\
	} while (0)

static void end(void)
{
	if (case_bad) {
		failed++;
		out("BROVA-CASE %s FAIL: %s", case_name, case_why);
	} else {
		passed++;
		out("BROVA-CASE %s PASS", case_name);
	}
	case_name[0] = 0;
}

static void sleep_ms(long ms)
{
	struct timespec ts = { ms / 1000, (ms % 1000) * 1000000L };

	while (nanosleep(&ts, &ts) && errno == EINTR)
		;
}

static long now_ms(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

static void power_off(void)
{
	tcdrain(1);
	if (ioperm(DEBUG_EXIT_PORT, 1, 1) == 0)
		outb(DEBUG_EXIT_DONE, DEBUG_EXIT_PORT);
	sleep_ms(5000);
	out("BROVA-DETAIL debug exit port did not stop the machine");
	exit(1);
}

/* ------------------------------------------------------------------ */
/* Files */

static int read_file(const char *path, char *buf, size_t size)
{
	ssize_t n, total = 0;
	int fd = open(path, O_RDONLY);

	if (fd < 0)
		return -errno;
	while ((size_t)total < size - 1) {
		n = read(fd, buf + total, size - 1 - total);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		total += n;
	}
	buf[total] = 0;
	close(fd);
	return total;
}

static int write_file(const char *path, const char *text)
{
	int fd = open(path, O_WRONLY);
	int err = 0;

	if (fd < 0)
		return -errno;
	if (write(fd, text, strlen(text)) < 0)
		err = -errno;
	close(fd);
	return err;
}

static int sim_set(const char *name, const char *value)
{
	char path[128];

	snprintf(path, sizeof(path), SIM_DIR "/%s", name);
	return write_file(path, value);
}

/* Raise a board interrupt on the simulated board. */
static int fire(unsigned int eirq)
{
	char text[16];

	snprintf(text, sizeof(text), "%u", eirq);
	return sim_set("fire", text);
}

static void regs_clear(void)
{
	sim_set("regs", "0");
}

static void check_regs(const char *want)
{
	char got[4096];

	read_file(SIM_DIR "/regs", got, sizeof(got));
	check(strcmp(got, want) == 0, "register log is \"%s\", expected \"%s\"",
	      got, want);
	regs_clear();
}

static long state_get(const char *field);

/* The pending mask once the tasklet, if any, has had its turn. */
static long pending_settled(long want)
{
	long deadline = now_ms() + 2000, got;

	while ((got = state_get("pending")) != want && now_ms() < deadline)
		sleep_ms(10);
	return got;
}

/* A field of the driver's state as the simulated board shows it. */
static long state_get(const char *field)
{
	char buf[1024], *p, *line;
	size_t len = strlen(field);

	if (read_file(SIM_DIR "/state", buf, sizeof(buf)) < 0)
		return -99999;
	for (line = strtok_r(buf, "\n", &p); line; line = strtok_r(NULL, "\n", &p)) {
		if (strncmp(line, field, len) == 0 && line[len] == ' ')
			return strtol(line + len + 1, NULL, 0);
	}
	return -99999;
}

static bool state_unloaded(void)
{
	char buf[64];

	read_file(SIM_DIR "/state", buf, sizeof(buf));
	return strcmp(buf, "unloaded\n") == 0;
}

/* ------------------------------------------------------------------ */
/* Kernel log, read from /dev/kmsg as dmesg does, level marker included */

static int kmsg_fd = -1;

struct lines {
	int n;
	char l[LINES_MAX][LINE_MAX_LEN];
};

static void lines_add(struct lines *ls, const char *fmt, ...)
{
	va_list ap;

	if (ls->n >= LINES_MAX)
		return;
	va_start(ap, fmt);
	vsnprintf(ls->l[ls->n++], LINE_MAX_LEN, fmt, ap);
	va_end(ap);
}

static bool is_driver_line(const char *text)
{
	return strstr(text, "-Brova IRQ:") || strncmp(text, "IRQ DRIVER:", 11) == 0 ||
	       strncmp(text, "*****", 5) == 0;
}

static void kmsg_mark(void)
{
	lseek(kmsg_fd, 0, SEEK_END);
}

/* Driver lines logged since the mark, as "<level>text". */
static void kmsg_read(struct lines *ls)
{
	char rec[8192], *text, *nl;
	ssize_t n;
	long prio;

	for (;;) {
		n = read(kmsg_fd, rec, sizeof(rec) - 1);
		if (n < 0 && errno == EPIPE)
			continue;	/* records overwritten; go on */
		if (n <= 0)
			break;
		rec[n] = 0;
		prio = strtol(rec, NULL, 10);
		text = strchr(rec, ';');
		if (!text)
			continue;
		text++;
		nl = strchr(text, '\n');
		if (nl)
			*nl = 0;
		if (is_driver_line(text))
			lines_add(ls, "<%ld>%s", prio & 7, text);
	}
}

/*
 * The driver's log since the mark must be exactly @want. Lines logged by
 * the tasklet may come a little later, so wait for them a while.
 */
static void check_log(const struct lines *want)
{
	static struct lines got;
	long deadline = now_ms() + 2000;
	int i;

	memset(&got, 0, sizeof(got));
	kmsg_read(&got);
	while (got.n < want->n && now_ms() < deadline) {
		sleep_ms(20);
		kmsg_read(&got);
	}
	sleep_ms(30);
	kmsg_read(&got);

	for (i = 0; i < want->n || i < got.n; i++) {
		const char *w = i < want->n ? want->l[i] : "(nothing)";
		const char *g = i < got.n ? got.l[i] : "(nothing)";

		if (strcmp(w, g)) {
			fail("kernel log line %d is \"%s\", expected \"%s\"", i + 1, g, w);
			break;
		}
	}
	if (case_bad) {
		for (i = 0; i < got.n; i++)
			out("BROVA-DETAIL %s: logged %s", case_name, got.l[i]);
	}
	kmsg_mark();
}

static void check_no_log(void)
{
	struct lines none = { 0 };

	check_log(&none);
}

static void begin(const char *name)
{
	snprintf(case_name, sizeof(case_name), "%s", name);
	case_bad = false;
	case_why[0] = 0;
	kmsg_mark();
	regs_clear();
}

/* Whole boot log: nothing the kernel reports as a fault. */
static void check_kernel_faults(void)
{
	static const char *const faults[] = {
		"WARNING:", "BUG:", "Oops", "Call Trace", "general protection",
		"Kernel panic", "INFO: task", "list_add corruption",
		"list_del corruption", "refcount_t:", "Unbalanced enable",
		"Trying to free", "inconsistent lock state",
	};
	char rec[8192];
	ssize_t n;
	unsigned int i;
	int fd = open("/dev/kmsg", O_RDONLY | O_NONBLOCK);

	check(fd >= 0, "cannot open /dev/kmsg");
	if (fd < 0)
		return;
	for (;;) {
		n = read(fd, rec, sizeof(rec) - 1);
		if (n < 0 && errno == EPIPE)
			continue;
		if (n <= 0)
			break;
		rec[n] = 0;
		for (i = 0; i < sizeof(faults) / sizeof(faults[0]); i++)
			check(!strstr(rec, faults[i]), "kernel reported: %s", rec);
	}
	close(fd);
}

/* ------------------------------------------------------------------ */
/* Modules, device, interrupts */

static int load(const char *name, const char *params)
{
	char path[128];
	int fd, ret;

	snprintf(path, sizeof(path), MOD_DIR "/%s.ko", name);
	fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return -errno;
	ret = syscall(SYS_finit_module, fd, params, 0);
	if (ret)
		ret = -errno;
	close(fd);
	return ret;
}

static int unload(const char *name)
{
	if (syscall(SYS_delete_module, name, O_NONBLOCK))
		return -errno;
	return 0;
}

static bool module_listed(const char *name)
{
	char buf[8192], *p, *line;
	size_t len = strlen(name);

	read_file("/proc/modules", buf, sizeof(buf));
	for (line = strtok_r(buf, "\n", &p); line; line = strtok_r(NULL, "\n", &p))
		if (strncmp(line, name, len) == 0 && line[len] == ' ')
			return true;
	return false;
}

/* Major of the character device "brova-irq", 0 when there is none. */
static unsigned int brova_major(void)
{
	char buf[8192], *p, *line;
	bool chars = false;
	unsigned int major;
	char name[64];

	read_file("/proc/devices", buf, sizeof(buf));
	for (line = strtok_r(buf, "\n", &p); line; line = strtok_r(NULL, "\n", &p)) {
		if (strcmp(line, "Character devices:") == 0)
			chars = true;
		else if (strcmp(line, "Block devices:") == 0)
			chars = false;
		else if (chars && sscanf(line, "%u %63s", &major, name) == 2 &&
			 strcmp(name, "brova-irq") == 0)
			return major;
	}
	return 0;
}

/* Creates the device node from /proc/devices, as the Application OS does. */
static int open_device(void)
{
	unsigned int major = brova_major();

	if (!major)
		return -1;
	unlink(DEV_PATH);
	if (mknod(DEV_PATH, S_IFCHR | 0600, makedev(major, 0)))
		return -1;
	return open(DEV_PATH, O_RDWR | O_CLOEXEC);
}

/* Count of interrupt @irq over all CPUs and its handlers' names. */
static long irq_count(unsigned int irq, char *names, size_t size)
{
	static char buf[65536];
	char *p, *line, *s, *end;
	long total = 0, v;
	unsigned int num;

	read_file("/proc/interrupts", buf, sizeof(buf));
	for (line = strtok_r(buf, "\n", &p); line; line = strtok_r(NULL, "\n", &p)) {
		if (sscanf(line, " %u:", &num) != 1 || num != irq)
			continue;
		s = strchr(line, ':') + 1;
		for (;;) {
			v = strtol(s, &end, 10);
			if (end == s)
				break;
			total += v;
			s = end;
		}
		if (names)
			snprintf(names, size, "%s", s);
		return total;
	}
	if (names)
		snprintf(names, size, "(no such interrupt)");
	return -1;
}

static int lines_named(const char *name)
{
	static char buf[65536];
	char *p, *line;
	int n = 0;

	read_file("/proc/interrupts", buf, sizeof(buf));
	for (line = strtok_r(buf, "\n", &p); line; line = strtok_r(NULL, "\n", &p))
		if (strstr(line, name))
			n++;
	return n;
}

/* ------------------------------------------------------------------ */
/* Signals */

static volatile sig_atomic_t sigill_count, sigill_signo, sigill_errno,
	sigill_code;
static volatile sig_atomic_t sigusr_count;

static void on_sigill(int sig, siginfo_t *info, void *ctx)
{
	(void)sig;
	(void)ctx;
	sigill_signo = info->si_signo;
	sigill_errno = info->si_errno;
	sigill_code = info->si_code;
	sigill_count++;
}

static void on_sigusr(int sig)
{
	(void)sig;
	sigusr_count++;
}

static void set_handler(int sig, void (*fn)(int), int flags)
{
	struct sigaction sa;

	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = fn;
	sa.sa_flags = flags;
	sigemptyset(&sa.sa_mask);
	sigaction(sig, &sa, NULL);
}

static void sigill_reset(void)
{
	sigill_count = 0;
	sigill_signo = 0;
	sigill_errno = 0;
	sigill_code = 0;
}

/* The driver's signal, read with SA_SIGINFO: 4, si_errno @event, SI_QUEUE. */
static void check_signal(int event)
{
	long deadline = now_ms() + 2000;

	while (!sigill_count && now_ms() < deadline)
		sleep_ms(10);
	sleep_ms(50);
	check(sigill_count == 1, "%d signals received, expected 1",
	      (int)sigill_count);
	check(sigill_signo == 4, "signal %d, expected 4", (int)sigill_signo);
	check(sigill_errno == event, "si_errno %d, expected %d",
	      (int)sigill_errno, event);
	check(sigill_code == SI_QUEUE, "si_code %d, expected SI_QUEUE (%d)",
	      (int)sigill_code, SI_QUEUE);
	sigill_reset();
}

static void check_no_signal(void)
{
	sleep_ms(200);
	check(sigill_count == 0, "unexpected signal (si_errno %d)",
	      (int)sigill_errno);
	sigill_reset();
}

/* ------------------------------------------------------------------ */
/* Waiting requests, each in a thread of its own */

struct waiter {
	pthread_t thread;
	int fd;
	uint32_t *addr;		/* where the driver writes the mask */
	uint32_t mask;
	int ret, err;
	volatile pid_t tid;
	volatile int done;
};

static void *waiter_main(void *arg)
{
	struct waiter *w = arg;
	sigset_t set;

	/* The driver's signals go to the main thread. */
	sigemptyset(&set);
	sigaddset(&set, SIGILL);
	pthread_sigmask(SIG_BLOCK, &set, NULL);
	w->tid = gettid();
	w->ret = ioctl(w->fd, IRQ_IOC_WAIT, w->addr);
	w->err = w->ret ? errno : 0;
	__atomic_store_n(&w->done, 1, __ATOMIC_SEQ_CST);
	return NULL;
}

/* Sleeping inside the driver's wait request? */
static bool waiter_asleep(struct waiter *w)
{
	char path[96], buf[128];

	if (w->done || !w->tid)
		return false;
	snprintf(path, sizeof(path), "/proc/self/task/%d/wchan", (int)w->tid);
	if (read_file(path, buf, sizeof(buf)) <= 0)
		return false;
	return strncmp(buf, "brova_irq", 9) == 0;
}

static bool wait_asleep(struct waiter *w)
{
	long deadline = now_ms() + 3000;

	while (now_ms() < deadline) {
		if (waiter_asleep(w))
			return true;
		sleep_ms(5);
	}
	return false;
}

/* @sleeps: nothing is pending, so the request must go to sleep. */
static void start_waiter(struct waiter *w, int fd, uint32_t *addr, bool sleeps)
{
	memset(w, 0, sizeof(*w));
	w->fd = fd;
	w->mask = UNTOUCHED;
	w->addr = addr ? addr : &w->mask;
	if (pthread_create(&w->thread, NULL, waiter_main, w)) {
		fail("cannot start a thread");
		w->done = 1;
		return;
	}
	if (sleeps)
		check(wait_asleep(w), "the wait request does not sleep in the driver");
}

/* True when the request ended within @ms; otherwise it is still asleep. */
static bool waiter_ends(struct waiter *w, long ms)
{
	long deadline = now_ms() + ms;

	while (!w->done && now_ms() < deadline)
		sleep_ms(5);
	return w->done;
}

static void finish_waiter(struct waiter *w)
{
	if (!w->thread)
		return;
	if (!waiter_ends(w, 2000)) {
		fail("the wait request did not return");
		/* End it so the run can go on. */
		pthread_kill(w->thread, SIGUSR2);
		if (!waiter_ends(w, 2000)) {
			out("BROVA-DETAIL wait request stuck; giving up");
			end();
			power_off();
		}
	}
	pthread_join(w->thread, NULL);
	w->thread = 0;
}

/* A wait that ends with the mask @mask copied to user space. */
static void check_wait_mask(struct waiter *w, uint32_t mask)
{
	finish_waiter(w);
	check(w->ret == 0, "wait returned %d (errno %d)", w->ret, w->err);
	check(w->mask == mask, "wait gave mask 0x%x, expected 0x%x", w->mask,
	      mask);
}

/* A wait that ended by running a handler: nothing copied to user space. */
static void check_wait_handled(struct waiter *w)
{
	finish_waiter(w);
	check(w->ret == 0, "wait returned %d (errno %d)", w->ret, w->err);
	check(w->mask == UNTOUCHED, "wait wrote 0x%x to user space", w->mask);
}

static int xioctl(int fd, unsigned int cmd, unsigned long arg)
{
	return ioctl(fd, cmd, arg) ? -errno : 0;
}

/* ------------------------------------------------------------------ */
/* Expected log lines */

static void want_load_start(struct lines *w)
{
	lines_add(w, "<6>-Brova IRQ: Brova IRQ Driver ");
}

static void want_mapping(struct lines *w)
{
	lines_add(w, "<6>-Brova IRQ: Mapping CPU register space 0xfffe42000 0x1000");
}

static void want_setup(struct lines *w, int requested)
{
	int i;

	lines_add(w, "<6>-Brova IRQ: setting up 5 IRQs");
	for (i = 0; i < requested; i++)
		lines_add(w, "<6>-Brova IRQ: EIRQ %u requested IRQ line %u ",
			  eirqs[i], linux_irq[i]);
}

static const char load_regs[] =
	"map 0xfffe42000 0x1000\n"
	"write 0x300 0x00000001\n"
	"write 0x150 0x800493e0\n"
	"write 0x110 0x000124f8\n"
	"write 0x160 0x00010050\n";

static unsigned int irq_of(unsigned int eirq)
{
	int i;

	for (i = 0; i < 5; i++)
		if (eirqs[i] == eirq)
			return linux_irq[i];
	return 0;
}

/* ------------------------------------------------------------------ */
/* Cases: load and unload */

static void case_first_load(void)
{
	struct lines w = { 0 };
	char names[256], buf[1024];
	int i, err;

	begin("load");
	err = load("brova_irq", "");
	check(err == 0, "load failed: %s", strerror(-err));
	read_file(SIM_DIR "/state", buf, sizeof(buf));
	check(sscanf(buf, "irq %u %u %u %u %u", &linux_irq[0], &linux_irq[1],
		     &linux_irq[2], &linux_irq[3], &linux_irq[4]) == 5,
	      "no interrupt numbers in the state: %s", buf);
	want_load_start(&w);
	want_mapping(&w);
	want_setup(&w, 5);
	check_log(&w);
	check_regs(load_regs);
	for (i = 0; i < 5; i++) {
		check(linux_irq[i] != 0, "entry %d has no interrupt", i);
		check(irq_count(linux_irq[i], names, sizeof(names)) == 0,
		      "interrupt %u: %s", linux_irq[i], names);
		check(strstr(names, "brova-irq") != NULL,
		      "interrupt %u not requested by the driver: %s",
		      linux_irq[i], names);
	}
	check(lines_named("brova-irq") == 5, "%d lines named brova-irq",
	      lines_named("brova-irq"));
	check(brova_major() != 0, "no character device brova-irq");
	check(state_get("wd_timeout") == 30, "wd_timeout %ld after load",
	      state_get("wd_timeout"));
	check(state_get("first_wd_expire") == 1, "first_wd_expire %ld",
	      state_get("first_wd_expire"));
	check(state_get("aos_pid") == 0 && state_get("wd_pid") == 0,
	      "someone registered after load");
	check(state_get("pending") == 0, "events pending after load");
	end();
}

static void check_unloaded(void)
{
	check(!module_listed("brova_irq"), "module still listed");
	check(brova_major() == 0, "character device still registered");
	check(lines_named("brova-irq") == 0, "interrupt lines still held");
	check(state_unloaded(), "driver still attached to the board");
}

static void case_unload(const char *name)
{
	int err;

	begin(name);
	err = unload("brova_irq");
	check(err == 0, "unload failed: %s", strerror(-err));
	check_no_log();
	check_regs("unmap\n");
	check_unloaded();
	end();
}

static void case_load_fail_map(void)
{
	struct lines w = { 0 };
	int err;

	begin("load_fail_map");
	check(sim_set("fail_map", "1") == 0, "cannot set fail_map");
	err = load("brova_irq", "");
	check(err == -ENODEV, "load gave %d, expected -ENODEV", err);
	want_load_start(&w);
	want_mapping(&w);
	lines_add(&w, "<3>-Brova IRQ: unable to map CPU register space at 0xfffe42000");
	check_log(&w);
	check_regs("");
	check_unloaded();
	check(sim_set("fail_map", "0") == 0, "cannot clear fail_map");
	end();
}

static void case_load_fail_irq(void)
{
	char name[48], text[8];
	int i, err;

	for (i = 0; i < 5; i++) {
		struct lines w = { 0 };
		char regs[512];

		snprintf(name, sizeof(name), "load_fail_irq_eirq%u", eirqs[i]);
		begin(name);
		snprintf(text, sizeof(text), "%u", eirqs[i]);
		check(sim_set("fail_irq", text) == 0, "cannot hold EIRQ %u",
		      eirqs[i]);
		err = load("brova_irq", "");
		check(err == -EAGAIN, "load gave %d, expected -EAGAIN", err);
		want_load_start(&w);
		want_mapping(&w);
		want_setup(&w, i);
		lines_add(&w, "<3>-Brova IRQ: Not able to get IRQ line %u (%u)",
			  eirqs[i], linux_irq[i]);
		check_log(&w);
		snprintf(regs, sizeof(regs), "%sunmap\n", load_regs);
		check_regs(regs);
		check(!module_listed("brova_irq"), "module still listed");
		check(brova_major() == 0, "character device still registered");
		check(lines_named("brova-irq") == 0,
		      "lines requested before the failure were not freed");
		check(lines_named("brova-sim-busy") == 1, "line not held by the board");
		check(state_unloaded(), "driver still attached to the board");
		check(sim_set("fail_irq", "-1") == 0, "cannot release the line");
		end();
	}
}

static void case_load_no_major(void)
{
	struct lines w = { 0 };
	char buf[32];
	int err;

	begin("load_no_device_number");
	check(sim_set("hog_majors", "1") == 0, "cannot take the majors");
	read_file(SIM_DIR "/hog_majors", buf, sizeof(buf));
	check(atoi(buf) > 0, "could not take the free majors");
	kmsg_mark();
	err = load("brova_irq", "");
	check(err == 0, "load failed: %s", strerror(-err));
	want_load_start(&w);
	lines_add(&w, "<1>IRQ DRIVER: Can't allocate major.");
	want_mapping(&w);
	want_setup(&w, 5);
	check_log(&w);
	check_regs(load_regs);
	check(brova_major() == 0, "a character device exists");
	check(lines_named("brova-irq") == 5, "interrupt lines not requested");
	err = unload("brova_irq");
	check(err == 0, "unload failed: %s", strerror(-err));
	check_no_log();
	check_regs("unmap\n");
	check_unloaded();
	check(sim_set("hog_majors", "0") == 0, "cannot free the majors");
	check(brova_major() == 0, "character device registered");
	end();
}

static void case_param(void)
{
	char buf[64];
	struct stat st;

	begin("parameter_pid");
	read_file("/sys/module/brova_irq/parameters/pid", buf, sizeof(buf));
	check(strcmp(buf, "1234\n") == 0, "pid parameter reads \"%s\"", buf);
	check(stat("/sys/module/brova_irq/parameters/pid", &st) == 0 &&
	      (st.st_mode & 0777) == 0444, "pid parameter mode %o",
	      st.st_mode & 0777);
	end();
}

/* ------------------------------------------------------------------ */
/* Cases: requests */

static void case_open(int *fd)
{
	int second;

	begin("device_open_release");
	*fd = open_device();
	check(*fd >= 0, "cannot open " DEV_PATH ": %s", strerror(errno));
	second = open(DEV_PATH, O_RDWR);
	check(second >= 0, "second open failed");
	check(close(second) == 0, "release failed");
	check_no_log();
	end();
}

static void case_unknown_requests(int fd)
{
	static const unsigned int bad[] = {
		IRQ_IOC_NOT_A_COMMAND, 0x40044306u, 0x400443ffu, 0x80044300u,
		0x40044200u, 0x40084300u, 0u,
	};
	unsigned int i;
	int err;

	begin("unknown_requests");
	for (i = 0; i < sizeof(bad) / sizeof(bad[0]); i++) {
		err = xioctl(fd, bad[i], 0);
		check(err == -EINVAL, "request 0x%08x gave %d, expected -EINVAL",
		      bad[i], err);
	}
	check_no_log();
	check_regs("");
	end();
}

static void case_wd_timeout(int fd)
{
	static const struct {
		unsigned long arg;
		long stored;
		bool warn;
		const char *regs;
	} steps[] = {
		{ 200, 127, true, "" },
		{ 60, 60, false, "" },
		{ 127, 127, false, "" },
		{ 128, 127, true, "" },
		{ 0, 0, false, "write 0x150 0x80000000\n" },
		{ 0xffffffffu, 127, true, "" },
		{ 1, 1, false, "" },
	};
	unsigned int i;

	begin("watchdog_timeout");
	for (i = 0; i < sizeof(steps) / sizeof(steps[0]); i++) {
		struct lines w = { 0 };

		check(xioctl(fd, IRQ_IOC_SET_WD_TIMEOUT, steps[i].arg) == 0,
		      "timeout %lu refused", steps[i].arg);
		if (steps[i].warn)
			lines_add(&w, "<6>-Brova IRQ: WARNING - maximum watchdog timeout is 127s");
		check_log(&w);
		check(state_get("wd_timeout") == steps[i].stored,
		      "timeout %lu stored as %ld, expected %ld", steps[i].arg,
		      state_get("wd_timeout"), steps[i].stored);
		check_regs(steps[i].regs);
	}
	end();
}

static void case_register(int fd)
{
	struct lines w = { 0 };
	pid_t child, self = getpid();
	int i;

	begin("register");
	for (i = 0; i < 2; i++) {
		unsigned int cmd = i ? IRQ_IOC_REGISTER_WD : IRQ_IOC_REGISTER_AOS;
		const char *field = i ? "wd_pid" : "aos_pid";
		const char *who = i ? "WD" : "AOS";

		check(xioctl(fd, cmd, self) == 0, "register %s refused", who);
		check_no_log();
		check(state_get(field) == self, "%s %ld, expected %d", field,
		      state_get(field), self);

		memset(&w, 0, sizeof(w));
		check(xioctl(fd, cmd, 0x7ffffff0) == 0, "register unknown refused");
		lines_add(&w, "<3>-Brova IRQ: Error finding %s task info 0x7ffffff0", who);
		check_log(&w);
		check(state_get(field) == 0x7ffffff0, "unknown ID not kept: %ld",
		      state_get(field));

		/* A process that has exited and been reaped. */
		child = fork();
		if (child == 0)
			_exit(0);
		waitpid(child, NULL, 0);
		memset(&w, 0, sizeof(w));
		check(xioctl(fd, cmd, child) == 0, "register exited refused");
		lines_add(&w, "<3>-Brova IRQ: Error finding %s task info 0x%x", who, child);
		check_log(&w);
		check(state_get(field) == child, "exited ID not kept");

		memset(&w, 0, sizeof(w));
		check(xioctl(fd, cmd, 0) == 0, "register 0 refused");
		lines_add(&w, "<3>-Brova IRQ: Error finding %s task info 0x0", who);
		check_log(&w);
		check(state_get(field) == 0, "%s not cleared", field);
	}
	end();
}

/*
 * With an Application OS registered (even one that is not found) the
 * interrupt handler leaves events to the waiting request; with none the
 * tasklet takes them.
 */
static void case_registered_id_steers_events(int fd)
{
	struct waiter w;
	struct lines l = { 0 };

	begin("registered_id_steers_events");
	xioctl(fd, IRQ_IOC_REGISTER_AOS, 0x7ffffff0);
	kmsg_mark();
	check(fire(2) == 0, "cannot fire EIRQ 2");
	sleep_ms(100);
	check(state_get("pending") == 0x4, "pending 0x%lx, expected 0x4",
	      state_get("pending"));
	start_waiter(&w, fd, NULL, false);
	check_wait_mask(&w, 0x04);
	lines_add(&l, "<6>-Brova IRQ: Got BROVA irq 0x4 err 0");
	check_log(&l);

	xioctl(fd, IRQ_IOC_REGISTER_AOS, 0);
	kmsg_mark();
	/* Re-enable the line, then let the tasklet take the event. */
	start_waiter(&w, fd, NULL, true);
	xioctl(fd, IRQ_IOC_INJECT, 7);
	check_wait_mask(&w, 0x80);
	check(fire(2) == 0, "cannot fire EIRQ 2");
	check(pending_settled(0) == 0, "pending 0x%lx, expected the tasklet to take it",
	      state_get("pending"));
	memset(&l, 0, sizeof(l));
	lines_add(&l, "<6>-Brova IRQ: Got BROVA irq 0x80 err 0");
	check_log(&l);
	end();
}

static void case_wait_inject(int fd)
{
	struct waiter w, w2;
	struct lines l = { 0 };
	long deadline;

	begin("wait_inject_2");
	start_waiter(&w, fd, NULL, true);
	check(xioctl(fd, IRQ_IOC_INJECT, 2) == 0, "inject refused");
	check_wait_mask(&w, 0x04);
	lines_add(&l, "<6>-Brova IRQ: Got BROVA irq 0x4 err 0");
	check_log(&l);
	end();

	begin("wait_inject_5_not_in_table");
	start_waiter(&w, fd, NULL, true);
	check(xioctl(fd, IRQ_IOC_INJECT, 5) == 0, "inject refused");
	check(!waiter_ends(&w, 300), "wait returned after 5 (mask 0x%x)", w.mask);
	check(waiter_asleep(&w), "waiter not asleep again");
	check(state_get("pending") == 0, "pending changed: 0x%lx",
	      state_get("pending"));
	check_no_log();
	xioctl(fd, IRQ_IOC_INJECT, 7);
	check_wait_mask(&w, 0x80);
	memset(&l, 0, sizeof(l));
	lines_add(&l, "<6>-Brova IRQ: Got BROVA irq 0x80 err 0");
	check_log(&l);
	end();

	begin("wait_mask_consumed_whole");
	xioctl(fd, IRQ_IOC_INJECT, 2);
	xioctl(fd, IRQ_IOC_INJECT, 7);
	check(state_get("pending") == 0x84, "pending 0x%lx, expected 0x84",
	      state_get("pending"));
	start_waiter(&w, fd, NULL, false);
	check_wait_mask(&w, 0x84);
	check(state_get("pending") == 0, "pending left: 0x%lx",
	      state_get("pending"));
	memset(&l, 0, sizeof(l));
	lines_add(&l, "<6>-Brova IRQ: Got BROVA irq 0x84 err 0");
	check_log(&l);
	end();

	begin("wait_two_waiters");
	start_waiter(&w, fd, NULL, true);
	start_waiter(&w2, fd, NULL, true);
	xioctl(fd, IRQ_IOC_INJECT, 2);
	deadline = now_ms() + 2000;
	while (!w.done && !w2.done && now_ms() < deadline)
		sleep_ms(5);
	sleep_ms(200);
	check(w.done + w2.done == 1, "%d waiters returned, expected 1",
	      w.done + w2.done);
	xioctl(fd, IRQ_IOC_INJECT, 7);
	finish_waiter(&w);
	finish_waiter(&w2);
	check(w.ret == 0 && w2.ret == 0, "wait failed");
	check((w.mask == 0x04 && w2.mask == 0x80) ||
	      (w.mask == 0x80 && w2.mask == 0x04),
	      "waiters got 0x%x and 0x%x", w.mask, w2.mask);
	memset(&l, 0, sizeof(l));
	lines_add(&l, "<6>-Brova IRQ: Got BROVA irq 0x4 err 0");
	lines_add(&l, "<6>-Brova IRQ: Got BROVA irq 0x80 err 0");
	check_log(&l);
	end();
}

static void case_wait_signal(int fd)
{
	struct waiter w;
	struct lines l = { 0 };

	begin("wait_ended_by_signal");
	set_handler(SIGUSR1, on_sigusr, 0);
	start_waiter(&w, fd, NULL, true);
	pthread_kill(w.thread, SIGUSR1);
	finish_waiter(&w);
	check(w.ret == -1 && w.err == EINTR, "wait gave %d errno %d, expected EINTR",
	      w.ret, w.err);
	check(w.mask == 0, "mask 0x%x after a signal, expected 0", w.mask);
	lines_add(&l, "<6>-Brova IRQ: IRQ wait interrupted by signal");
	check_log(&l);
	end();

	begin("wait_restarted_after_signal");
	set_handler(SIGUSR1, on_sigusr, SA_RESTART);
	start_waiter(&w, fd, NULL, true);
	pthread_kill(w.thread, SIGUSR1);
	check(!waiter_ends(&w, 300), "wait returned %d errno %d", w.ret, w.err);
	check(wait_asleep(&w), "restarted wait does not sleep");
	xioctl(fd, IRQ_IOC_INJECT, 2);
	check_wait_mask(&w, 0x04);
	memset(&l, 0, sizeof(l));
	lines_add(&l, "<6>-Brova IRQ: IRQ wait interrupted by signal");
	lines_add(&l, "<6>-Brova IRQ: Got BROVA irq 0x4 err 0");
	check_log(&l);
	set_handler(SIGUSR1, on_sigusr, 0);
	end();

	begin("wait_bad_address");
	start_waiter(&w, fd, (uint32_t *)8, true);
	xioctl(fd, IRQ_IOC_INJECT, 2);
	finish_waiter(&w);
	check(w.ret == -1 && w.err == EFAULT, "wait gave %d errno %d, expected EFAULT",
	      w.ret, w.err);
	memset(&l, 0, sizeof(l));
	lines_add(&l, "<6>-Brova IRQ: Got BROVA irq 0x4 err 0");
	check_log(&l);
	end();
}

/* ------------------------------------------------------------------ */
/* Cases: reset button and watchdog with a registered, living process */

static void want_got(struct lines *l, unsigned int mask)
{
	lines_add(l, "<6>-Brova IRQ: Got BROVA irq 0x%x err 0", mask);
}

static void want_button(struct lines *l)
{
	lines_add(l, "<6>*********** Reset button pushed ***********");
}

static void case_button(int fd)
{
	static const unsigned int buttons[] = { 3, 6 };
	struct waiter w;
	unsigned int i;
	char name[48], names[128];
	long before;

	check(xioctl(fd, IRQ_IOC_REGISTER_AOS, getpid()) == 0, "register");
	for (i = 0; i < 2; i++) {
		struct lines l = { 0 };

		snprintf(name, sizeof(name), "button_inject_%u", buttons[i]);
		begin(name);
		sigill_reset();
		start_waiter(&w, fd, NULL, true);
		xioctl(fd, IRQ_IOC_INJECT, buttons[i]);
		check_wait_handled(&w);
		check_signal(2);
		want_got(&l, 1u << buttons[i]);
		want_button(&l);
		check_log(&l);
		check_regs("");
		end();
	}

	for (i = 0; i < 2; i++) {
		struct lines l = { 0 };
		unsigned int irq = irq_of(buttons[i]);

		snprintf(name, sizeof(name), "button_interrupt_eirq%u", buttons[i]);
		begin(name);
		start_waiter(&w, fd, NULL, true);
		before = irq_count(irq, names, sizeof(names));
		check(fire(buttons[i]) == 0, "cannot fire");
		check(irq_count(irq, NULL, 0) == before + 1, "interrupt not counted");
		check_wait_handled(&w);
		check_signal(2);
		want_got(&l, 1u << buttons[i]);
		want_button(&l);
		check_log(&l);

		/* The line stays off until the next wait request. */
		check(fire(buttons[i]) == 0, "cannot fire");
		check(irq_count(irq, NULL, 0) == before + 1,
		      "disabled line delivered an interrupt");
		check(state_get("pending") == 0, "pending 0x%lx", state_get("pending"));
		check_no_signal();
		check_no_log();
		start_waiter(&w, fd, NULL, true);
		check(fire(buttons[i]) == 0, "cannot fire");
		check(irq_count(irq, NULL, 0) == before + 2,
		      "line not enabled again by the wait request");
		check_wait_handled(&w);
		check_signal(2);
		memset(&l, 0, sizeof(l));
		want_got(&l, 1u << buttons[i]);
		want_button(&l);
		check_log(&l);
		end();
	}

	begin("button_hides_other_bits");
	xioctl(fd, IRQ_IOC_INJECT, 2);
	xioctl(fd, IRQ_IOC_INJECT, 3);
	start_waiter(&w, fd, NULL, false);
	check_wait_handled(&w);
	check_signal(2);
	check(state_get("pending") == 0, "pending 0x%lx", state_get("pending"));
	{
		struct lines l = { 0 };

		want_got(&l, 0x0c);
		want_button(&l);
		check_log(&l);
	}
	end();
}

static void case_board_interrupt(int fd)
{
	struct waiter w;
	struct lines l = { 0 };
	unsigned int irq = irq_of(2);
	long before;

	begin("board_interrupt_eirq2");
	start_waiter(&w, fd, NULL, true);
	before = irq_count(irq, NULL, 0);
	check(fire(2) == 0, "cannot fire");
	check_wait_mask(&w, 0x04);
	check(fire(2) == 0, "cannot fire");
	check(irq_count(irq, NULL, 0) == before + 1,
	      "disabled line delivered an interrupt");
	/* Level-triggered: nothing replayed when the wait enables the line. */
	start_waiter(&w, fd, NULL, true);
	xioctl(fd, IRQ_IOC_INJECT, 7);
	check_wait_mask(&w, 0x80);
	start_waiter(&w, fd, NULL, true);
	check(fire(2) == 0, "cannot fire");
	check(irq_count(irq, NULL, 0) == before + 2, "line not enabled again");
	check_wait_mask(&w, 0x04);
	want_got(&l, 0x04);
	want_got(&l, 0x80);
	want_got(&l, 0x04);
	check_log(&l);
	check_no_signal();
	end();
}

static void case_watchdog(int fd)
{
	struct waiter w;
	unsigned int irq = irq_of(0);
	long before;

	begin("watchdog_first_expiry");
	{
		struct lines l = { 0 };

		check(xioctl(fd, IRQ_IOC_REGISTER_AOS, getpid()) == 0, "register AOS");
		check(xioctl(fd, IRQ_IOC_REGISTER_WD, getpid()) == 0, "register WD");
		sigill_reset();
		kmsg_mark();
		start_waiter(&w, fd, NULL, true);
		before = irq_count(irq, NULL, 0);
		check(fire(0) == 0, "cannot fire the watchdog");
		check(irq_count(irq, NULL, 0) == before + 1, "interrupt not counted");
		check_wait_handled(&w);
		check_signal(1);
		check_regs("write 0x150 0x00015f90\n");
		want_got(&l, 0x01);
		lines_add(&l, "<6>-Brova IRQ: WATCHDOG IRQ expired 1");
		lines_add(&l, "<6>-Brova IRQ: WATCHDOG IRQ expired! Signalling application");
		check_log(&l);
		check(state_get("first_wd_expire") == 0, "first_wd_expire not cleared");
	}
	end();

	begin("watchdog_later_expiry");
	{
		struct lines l = { 0 };

		start_waiter(&w, fd, NULL, true);
		xioctl(fd, IRQ_IOC_INJECT, 0);
		check_wait_handled(&w);
		check_no_signal();
		check_regs("");
		want_got(&l, 0x01);
		lines_add(&l, "<6>-Brova IRQ: WATCHDOG IRQ expired 0");
		check_log(&l);
	}
	end();

	begin("watchdog_line_stays_disabled");
	{
		struct lines l = { 0 };
		int round;

		for (round = 0; round < 2; round++) {
			start_waiter(&w, fd, NULL, true);
			check(fire(0) == 0, "cannot fire the watchdog");
			check(irq_count(irq, NULL, 0) == before + 1,
			      "watchdog line enabled again");
			check(!waiter_ends(&w, 200), "waiter woken by the watchdog line");
			check(state_get("pending") == 0, "pending 0x%lx",
			      state_get("pending"));
			xioctl(fd, IRQ_IOC_INJECT, 2);
			check_wait_mask(&w, 0x04);
			want_got(&l, 0x04);
		}
		check_log(&l);
		check_no_signal();
		check_regs("");
	}
	end();

	begin("watchdog_hides_other_bits");
	{
		struct lines l = { 0 };

		xioctl(fd, IRQ_IOC_INJECT, 3);
		xioctl(fd, IRQ_IOC_INJECT, 2);
		xioctl(fd, IRQ_IOC_INJECT, 0);
		start_waiter(&w, fd, NULL, false);
		check_wait_handled(&w);
		check_no_signal();
		want_got(&l, 0x0d);
		lines_add(&l, "<6>-Brova IRQ: WATCHDOG IRQ expired 0");
		check_log(&l);
	}
	end();
}

static void case_unload_busy(int *fd)
{
	begin("unload_while_open_refused");
	check(unload("brova_irq") == -EWOULDBLOCK, "unload while open not refused");
	check(module_listed("brova_irq"), "module gone");
	close(*fd);
	*fd = -1;
	end();
}

/* Without a registered Application OS the tasklet handles events. */
static void case_tasklet(void)
{
	struct lines l = { 0 };
	struct waiter w;
	int fd, err;

	begin("reload");
	err = load("brova_irq", "");
	check(err == 0, "load failed: %s", strerror(-err));
	want_load_start(&l);
	want_mapping(&l);
	want_setup(&l, 5);
	check_log(&l);
	check_regs(load_regs);
	fd = open_device();
	check(fd >= 0, "cannot open the device");
	check(state_get("first_wd_expire") == 1, "first_wd_expire not set again");
	end();
	if (fd < 0)
		return;

	begin("tasklet_watchdog_signal");
	memset(&l, 0, sizeof(l));
	check(xioctl(fd, IRQ_IOC_REGISTER_WD, getpid()) == 0, "register WD");
	sigill_reset();
	check(fire(0) == 0, "cannot fire the watchdog");
	check_signal(1);
	lines_add(&l, "<6>-Brova IRQ: WATCHDOG IRQ expired 1");
	lines_add(&l, "<6>-Brova IRQ: WATCHDOG IRQ expired! Signalling application");
	check_log(&l);
	check_regs("write 0x150 0x00015f90\n");
	check(state_get("pending") == 0, "pending 0x%lx", state_get("pending"));
	check(state_get("first_wd_expire") == 0, "first_wd_expire not cleared");
	end();

	begin("tasklet_drops_board_interrupt");
	memset(&l, 0, sizeof(l));
	check(fire(2) == 0, "cannot fire");
	check(pending_settled(0) == 0, "pending 0x%lx", state_get("pending"));
	check_no_signal();
	start_waiter(&w, fd, NULL, true);
	xioctl(fd, IRQ_IOC_INJECT, 7);
	check_wait_mask(&w, 0x80);
	want_got(&l, 0x80);
	check_log(&l);
	end();

	close(fd);
	case_unload("unload_after_reload");
}

static int run_main(void)
{
	int fd = -1, err;

	begin("load_board");
	err = load("brova_irq_sim", "");
	check(err == 0, "cannot load the simulated board: %s", strerror(-err));
	end();
	if (err)
		return 1;

	case_first_load();
	case_unload("unload");
	case_load_fail_map();
	case_load_fail_irq();
	case_load_no_major();

	begin("load_with_parameter");
	err = load("brova_irq", "pid=1234");
	check(err == 0, "load failed: %s", strerror(-err));
	end();
	if (err)
		return 1;
	case_param();
	case_open(&fd);
	if (fd < 0)
		return 1;
	case_unknown_requests(fd);
	case_wd_timeout(fd);
	case_register(fd);
	case_registered_id_steers_events(fd);
	case_wait_inject(fd);
	case_wait_signal(fd);
	case_button(fd);
	case_board_interrupt(fd);
	case_watchdog(fd);
	case_unload_busy(&fd);
	case_unload("unload_clean");
	case_tasklet();

	begin("board_unload");
	check(unload("brova_irq_sim") == 0, "cannot unload the simulated board");
	end();

	begin("kernel_log_clean");
	check_kernel_faults();
	end();
	return 0;
}

/* ------------------------------------------------------------------ */
/* Restart modes: one boot each */

static void expect(const char *fmt, ...)
{
	char buf[LINE_MAX_LEN];
	va_list ap;

	va_start(ap, fmt);
	vsnprintf(buf, sizeof(buf), fmt, ap);
	va_end(ap);
	out("BROVA-EXPECT %s", buf);
}

/* A child that is registered and then dies; reaped or left a zombie. */
static pid_t dead_child(bool reap)
{
	char path[64], buf[256], *p;
	pid_t child = fork();

	if (child == 0) {
		pause();
		_exit(0);
	}
	kill(child, SIGKILL);
	if (reap) {
		waitpid(child, NULL, 0);
		return child;
	}
	snprintf(path, sizeof(path), "/proc/%d/stat", child);
	for (;;) {
		if (read_file(path, buf, sizeof(buf)) > 0) {
			p = strrchr(buf, ')');
			if (p && p[1] == ' ' && p[2] == 'Z')
				return child;
		}
		sleep_ms(5);
	}
}

/* What is written to the console must be out before the board resets. */
static void armed(const char *mode)
{
	out("BROVA-ARMED %s", mode);
	tcdrain(1);
	sleep_ms(100);
}

static int run_restart(const char *mode)
{
	struct waiter w;
	pid_t dead = 0;
	int fd, err;

	begin("restart_setup");
	err = load("brova_irq_sim", "");
	check(err == 0, "cannot load the simulated board: %s", strerror(-err));
	err = load("brova_irq", "");
	check(err == 0, "cannot load the driver: %s", strerror(-err));
	fd = open_device();
	check(fd >= 0, "cannot open the device");
	if (case_bad) {
		end();
		return 1;
	}

	/* Everything the driver logs must reach the console now. */
	klogctl(8, NULL, 8);

	if (strcmp(mode, "button_unregistered") == 0) {
		expect("<6>*********** Reset button pushed ***********");
		expect("<3>********* Reset button pushed but application not registered *******");
		armed(mode);
		fire(3);
	} else if (strcmp(mode, "button_zombie") == 0) {
		dead = dead_child(false);
		xioctl(fd, IRQ_IOC_REGISTER_AOS, dead);
		start_waiter(&w, fd, NULL, true);
		expect("<6>-Brova IRQ: Got BROVA irq 0x40 err 0");
		expect("<6>*********** Reset button pushed ***********");
		expect("<3>-Brova IRQ: Error finding AOS task info 0x%x", dead);
		expect("<3>********* Reset button pushed but application not registered *******");
		armed(mode);
		fire(6);
	} else if (strcmp(mode, "wd_unregistered") == 0) {
		expect("<6>-Brova IRQ: WATCHDOG IRQ expired 1");
		expect("<3>********* Watchdog expired but application not registered *******");
		armed(mode);
		fire(0);
	} else if (strcmp(mode, "wd_exited") == 0) {
		dead = dead_child(true);
		xioctl(fd, IRQ_IOC_REGISTER_WD, dead);
		xioctl(fd, IRQ_IOC_REGISTER_AOS, getpid());
		start_waiter(&w, fd, NULL, true);
		expect("<6>-Brova IRQ: Got BROVA irq 0x1 err 0");
		expect("<3>-Brova IRQ: Error finding WD task info 0x%x", dead);
		expect("<6>-Brova IRQ: WATCHDOG IRQ expired 1");
		expect("<3>********* Watchdog expired but application not registered *******");
		armed(mode);
		xioctl(fd, IRQ_IOC_INJECT, 0);
	} else {
		fail("unknown mode %s", mode);
		end();
		return 1;
	}
	sleep_ms(10000);
	fail("the board was not restarted");
	end();
	return 1;
}

/* ------------------------------------------------------------------ */

static void mode_from_cmdline(char *mode, size_t size)
{
	char buf[1024], *p;

	snprintf(mode, size, "main");
	read_file("/proc/cmdline", buf, sizeof(buf));
	p = strstr(buf, "brova.mode=");
	if (p)
		sscanf(p + strlen("brova.mode="), "%63s", mode);
}

int main(void)
{
	struct sigaction sa;
	char mode[64];

	setvbuf(stdout, NULL, _IONBF, 0);
	memset(&sa, 0, sizeof(sa));
	sa.sa_sigaction = on_sigill;
	sa.sa_flags = SA_SIGINFO | SA_RESTART;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGILL, &sa, NULL);
	set_handler(SIGUSR2, on_sigusr, 0);

	kmsg_fd = open("/dev/kmsg", O_RDONLY | O_NONBLOCK);
	if (kmsg_fd < 0) {
		out("BROVA-CASE setup FAIL: cannot open /dev/kmsg");
		power_off();
	}
	mode_from_cmdline(mode, sizeof(mode));
	out("BROVA-MODE %s", mode);

	if (strcmp(mode, "main") == 0) {
		/* Keep the console for the results; the log is read here. */
		klogctl(8, NULL, 1);
		run_main();
		out("BROVA-SUMMARY %d passed, %d failed", passed, failed);
	} else {
		run_restart(mode);
	}
	out("BROVA-END");
	power_off();
	return 0;
}
