#include "image/install_records.h"

#include <cstdio>

#include "image/image_format.h"
#include "platform/process.h"
#include "platform/unique_file.h"

namespace {

using platform::UniqueFile;

constexpr size_t LOG_LINE_SIZE = 512;
constexpr size_t RECORD_PATH_SIZE = 256;

enum RtcRegister { SECONDS, MINUTES, HOURS, WEEKDAY, DAY, MONTH, YEAR };

// Minutes and seconds run to 59: their tens digit takes three bits, so only
// bit 7 (the oscillator flag) is dropped. Hours and day keep six bits, the
// month five.

void write_record_file(const char* dir, const char* name, const char* suffix, const void* data,
                       size_t size) {
    char path[RECORD_PATH_SIZE];
    std::snprintf(path, sizeof path, "%s/%s-%s", dir, name, suffix);
    UniqueFile file(std::fopen(path, "w"));
    if (!file)
        return;
    const bool written = std::fwrite(data, 1, size, file.get()) == size;
    // A record cut short would tell a wrong version, CRC or time: leave none.
    if (!platform::close_written(std::move(file)) || !written)
        std::remove(path);
}

} // namespace

void format_install_log_line(char* line, size_t size, const char* file, const char* source,
                             const RtcTime& time) {
    std::snprintf(line, size, "File %s installed from %s at %2.2x:%2.2x:%2.2x on %x-%x-20%x\n",
                  file, source, time.bytes[HOURS] & 0x3FU, time.bytes[MINUTES] & 0x7FU,
                  time.bytes[SECONDS] & 0x7FU, time.bytes[DAY] & 0x3FU, time.bytes[MONTH] & 0x1FU,
                  static_cast<unsigned>(time.bytes[YEAR]));
}

void write_install_log_entry(const char* log_path, const char* file, const char* source,
                             const RtcTime& time) {
    char line[LOG_LINE_SIZE];
    format_install_log_line(line, sizeof line, file, source, time);
    std::printf("Updating install log. %s", line);
    UniqueFile log(std::fopen(log_path, "a"));
    if (!log)
        return; // /user may not be mounted
    std::fputs(line, log.get());
    // The line was shown on the console; an append-only log cannot take back
    // one cut short.
    static_cast<void>(platform::close_written(std::move(log)));
}

int append_install_log(const char* file, const char* source) {
    RtcTime time{};
    rtc_read_time(&time);
    write_install_log_entry(INSTALL_LOG_PATH, file, source, time);
    return 1;
}

void format_install_timestamp(time_t now, char (&text)[INSTALL_TIMESTAMP_SIZE]) {
    struct tm local {};
    if (::localtime_r(&now, &local) == nullptr ||
        std::strftime(text, sizeof text, "%H:%M:%S %Z %a %b %e %Y", &local) == 0)
        text[0] = '\0';
}

void write_install_record_files(const char* dir, const char* name, uint32_t version, uint32_t crc,
                                time_t now) {
    uint8_t bytes[4];
    image_put_be32(bytes, version);
    write_record_file(dir, name, "version", bytes, sizeof bytes);
    image_put_be32(bytes, crc);
    write_record_file(dir, name, "crc", bytes, sizeof bytes);

    char text[INSTALL_TIMESTAMP_SIZE];
    format_install_timestamp(now, text);
    char line[INSTALL_TIMESTAMP_SIZE + 1];
    const int length = std::snprintf(line, sizeof line, "%s\n", text);
    write_record_file(dir, name, "timestamp", line, static_cast<size_t>(length));
}

int update_install_records(const char* name, uint32_t version, uint32_t crc) {
    std::printf("Updating install logs\n");
    platform::run_shell_command("mkdir -p /tmp/zimr-cfg");
    char command[128];
    std::snprintf(command, sizeof command, "mount %s /tmp/zimr-cfg", INSTALL_RECORDS_DEVICE);
    if (platform::run_shell_command(command) != 0) {
        std::printf("Error mounting Tesk configuration  partition. Unable to update installed "
                    "image details\n");
        return -1;
    }
    write_install_record_files(INSTALL_RECORDS_MOUNT_POINT, name, version, crc, std::time(nullptr));
    platform::run_shell_command("umount /tmp/zimr-cfg");
    return 1;
}
