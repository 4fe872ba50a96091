// tolvadmin_registry.h - the registry as a whole: its configuration file and its making.
#pragma once

#include <string>

#ifndef TOLV_ADMIN
#define TOLV_ADMIN __attribute__((visibility("default")))
#endif

namespace tolv::admin {

// The settings of a configuration file as rspi_initialize applies them: the last of each counts.
struct Configuration {
    enum class Read { Ok, CannotOpen, NotRegular } read = Read::Ok;
    int error = 0;          // CannotOpen: the errno
    bool has_dir = false;   // a dir= line
    std::string dir;
    bool durable = false;   // durable=true
};
TOLV_ADMIN Configuration read_configuration(const std::string &path);

// Makes a registry: the directory dir (mode 0700 whatever the umask) unless it is there already, as a directory
// of this account's own, then the configuration file config, created exclusively (0600), naming dir + "/".
struct Made {
    enum class Fault { None, MakeDirectory, NotDirectory, OtherOwner, ConfigExists, CreateConfig, WriteConfig };
    Fault fault = Fault::None;
    int error = 0;           // the errno of a failed call
    unsigned owner = 0;      // OtherOwner: the directory's uid
    bool made_directory = false;
};
TOLV_ADMIN Made make_registry(const std::string &dir, const std::string &config);

}  // namespace tolv::admin
