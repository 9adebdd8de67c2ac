// The files and devices through which the boot manager keeps its security
// state. The defaults are the switch's own; tests hand in paths of their own.
#pragma once

#include <string>

struct BoardPaths {
    // The two image-signing key files, the only names the key loader knows.
    std::string production_key = "/user/production_key.pub.pem";
    std::string development_key = "/user/development_key.pub.pem";
    // The root filesystem partition whose signature tells whether the switch
    // runs developer images.
    std::string developer_images_partition = "/dev/mtd-rfs";
    // Exists while low-security mode is on, until the next boot.
    std::string low_security_marker = "/tmp/lowsec";
};
