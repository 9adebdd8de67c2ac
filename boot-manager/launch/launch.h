// The hand-over to the Application OS: the archive already written to
// "/tmp/kopraimage.tar.gz" is unpacked, installed and started.
#pragma once

// Never returns: ends in the exec of the Application OS starter or in a
// reboot. is_diagnostics: the unpacked component is a diagnostics
// Application OS.
[[noreturn]] void launch_application_os(bool is_diagnostics);
