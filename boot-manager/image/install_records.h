// What was installed: the install log on /user and, on the TESK configuration
// partition, the version, CRC and time of each installed boot loader, ONIE
// image and TESK application slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "platform/rtc.h"

constexpr const char* INSTALL_LOG_PATH = "/user/install.log";
constexpr const char* INSTALL_RECORDS_DEVICE = "/dev/mmcblk0p4";
constexpr const char* INSTALL_RECORDS_MOUNT_POINT = "/tmp/zimr-cfg";
constexpr size_t INSTALL_TIMESTAMP_SIZE = 128;

// Appends "File <file> installed from <source> at <RTC time>" to the install
// log, after printing it. The file write is skipped when the log cannot be
// opened. Always 1.
int append_install_log(const char* file, const char* source);

// The log line for an RTC reading (BCD registers shown in hexadecimal, which
// reads as their decimal digits).
void format_install_log_line(char* line, size_t size, const char* file, const char* source,
                             const RtcTime& time);
// Prints the log line and appends it to log_path (skipped when it cannot be
// opened).
void write_install_log_entry(const char* log_path, const char* file, const char* source,
                             const RtcTime& time);

// Mounts the configuration partition and writes "<name>-version",
// "<name>-crc" and "<name>-timestamp". 1 when the partition was mounted and
// the files written, -1 when the mount failed (no file is written then).
[[nodiscard]] int update_install_records(const char* name, uint32_t version, uint32_t crc);

// The three record files in dir; a file that cannot be created is skipped.
void write_install_record_files(const char* dir, const char* name, uint32_t version, uint32_t crc,
                                time_t now);
// The local time text of a record, "%H:%M:%S %Z %a %b %e %Y".
void format_install_timestamp(time_t now, char (&text)[INSTALL_TIMESTAMP_SIZE]);
