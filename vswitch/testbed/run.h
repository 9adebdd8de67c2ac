// One power-on of a virtual switch: a program of the switch started in the
// sandbox, its console on a pseudo-terminal owned here.
//
// The console is the program's standard input, output and error and its
// controlling terminal: keys sent here reach it as typed on the serial line
// (a Ctrl-C byte raises SIGINT through the terminal's line discipline), and
// everything it writes lands in the transcript. A second pseudo-terminal is
// the switch's "/dev/ttyS0".
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/unique_fd.h"
#include "test_support.h"
#include "testbed/virtual_switch.h"

namespace vswitch {

// Paths of this build's programs.
std::string boot_manager_path();
std::string usb_mount_path();
std::string sandbox_path();
std::string interposer_path();
// Where the output of RunOptions::after lands.
std::string after_log_path(const VirtualSwitch& vswitch);

// Keys typed at a moment of board time, counted from power-on.
struct TimedKeys {
    std::chrono::milliseconds at;
    std::string keys; // "\x03" is Ctrl-C; empty: only a look at the console
};

struct RunOptions {
    std::string program;           // empty: this build's boot-manager
    std::vector<std::string> args; // after the program name
    bool virtual_time = true;      // sleeps and console time-outs cost no real time
    // The console turns "\n" into "\r\n" as a serial console does; off, the
    // transcript holds exactly the bytes the program wrote.
    bool translate_newlines = false;
    bool hotplug_usb_mount = true; // a stick present at power-on is mounted by usb-mount
    bool stderr_to_file = false;   // standard error to stderr.log in the switch directory
    bool stdout_to_file = false;   // standard output to stdout.log in the switch directory
    // Off: a stick present at power-on is left as plugged in, for the program
    // (usb-mount itself) to handle.
    bool handle_usb_at_power_on = true;
    // A bash script run in the switch once the program has ended, to look at
    // what it left (mounts, directories); its output lands in after.log in the
    // switch directory (see after_log_path).
    std::string after;
    std::vector<std::string> environment; // more NAME=VALUE for the program
    // In time order. At each moment the program stands still in the wait in
    // progress (a sleep, or a console poll or read with a time-out); the
    // console as it was then is kept (console_at_stops), the keys are typed,
    // and the program goes on. Output it had not flushed is not in the copy.
    std::vector<TimedKeys> timed_keys;
    std::string term = "vt100";
};

enum class Ending {
    running,
    exited,    // the program exited (or the Application OS starter it ran did)
    signalled, // the program died of a signal
    halted,    // the board parked the program in its endless halt
    silent,    // no console output for the silence bound
    timed_out, // still running at the time limit
    stopped,   // stopped by the owner of the run
    failed,    // the sandbox could not start the program
};

const char* ending_name(Ending ending);

struct Outcome {
    Ending ending = Ending::running;
    int code = 0;       // exit status or signal number
    std::string detail; // why the sandbox failed
};

class BootRun {
  public:
    BootRun(VirtualSwitch& vswitch, RunOptions options = {});
    ~BootRun();
    BootRun(const BootRun&) = delete;
    BootRun& operator=(const BootRun&) = delete;

    // Reads console output that is there or arrives within timeout_ms.
    // Returns true when something was read.
    bool pump(int timeout_ms);
    // Waits until text appears in the console output after the cursor, and
    // moves the cursor past it. False when the run ends or time runs out first.
    bool wait_for_text(const std::string& text, std::chrono::milliseconds timeout);
    void send(const std::string& keys);

    // Waits for the end of the run: the program exits, the board halts, the
    // console stays silent for `silence`, or `limit` passes.
    Outcome wait(std::chrono::milliseconds silence = std::chrono::seconds(5),
                 std::chrono::milliseconds limit = std::chrono::seconds(60));
    // True once the program has ended (without waiting).
    bool poll_end();
    // Ends the run at once (the whole sandbox goes down).
    Outcome stop();

    bool finished() const { return outcome_.ending != Ending::running; }
    const Outcome& outcome() const { return outcome_; }
    const std::string& transcript() const { return transcript_; }
    // The console as it was at each stop of RunOptions::timed_keys so far.
    const std::vector<std::string>& console_at_stops() const { return stops_; }
    size_t cursor() const { return cursor_; }
    int console_fd() const { return console_master_.get(); }
    int serial_fd() const { return serial_master_.get(); }

    // Called with every piece of console output as it is read.
    void on_output(std::function<void(const char*, size_t)> sink) { sink_ = std::move(sink); }

  private:
    bool check_exit(bool block);
    bool read_console(int timeout_ms);
    void drain();
    void schedule_stop();
    void serve_stop();
    Outcome finish(Ending ending_if_killed);
    void read_report();

    VirtualSwitch& vswitch_;
    platform::UniqueFd console_master_;
    platform::UniqueFd console_slave_;
    platform::UniqueFd serial_master_;
    platform::UniqueFd serial_slave_;
    pid_t sandbox_ = -1;
    std::unique_ptr<test_support::TempDir> run_dir_; // the sandbox's root and report
    std::string transcript_;
    size_t cursor_ = 0;
    Outcome outcome_;
    std::function<void(const char*, size_t)> sink_;
    std::vector<TimedKeys> timed_keys_;
    size_t next_stop_ = 0;
    uint64_t power_on_ns_ = 0;
    std::vector<std::string> stops_;
};

} // namespace vswitch
