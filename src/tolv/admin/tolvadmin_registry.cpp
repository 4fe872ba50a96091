// tolvadmin_registry.cpp - the registry as a whole: recovery of a pending journal, the configuration file and
// the making of a registry.
#include "tolvadmin_registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tolvadmin.h"
#include "tolvinternal.h"

namespace tolv::admin {

// A writing scope settles whatever journal it finds before its own changes; this one makes none.
uint32_t recover(char **handle) {
    return guarded_op(handle, [](std::string_view) { return Rc::Success; }, true);
}

Configuration read_configuration(const std::string &path) {
    Configuration c;
    io::Bytes data;
    errno = 0;
    const io::Read r = io::read_config(path.c_str(), data);
    if (r != io::Read::Ok) {
        // The open sets errno; a file that opened but is no regular file leaves it alone.
        c.error = r == io::Read::Missing ? ENOENT : errno;
        c.read = c.error ? Configuration::Read::CannotOpen : Configuration::Read::NotRegular;
        return c;
    }
    LineReader lines(data, kListLineSize);
    std::string_view line, value;
    std::string key;
    while (lines.next_line(line)) {
        if (!parse_config_line(line, key, value)) continue;
        if (key == "dir") {
            c.has_dir = true;
            c.dir.assign(value);
        } else if (key == "durable") {
            c.durable = value == "true";
        }
    }
    return c;
}

Made make_registry(const std::string &dir, const std::string &config) {
    Made m;
    const auto fail = [&](Made::Fault f) {
        m.fault = f;
        m.error = errno;
        return m;
    };
    if (::mkdir(dir.c_str(), 0700) == 0) {
        m.made_directory = true;
        ::chmod(dir.c_str(), 0700);  // whatever the umask says
    } else if (errno != EEXIST) {
        return fail(Made::Fault::MakeDirectory);
    } else {
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return fail(Made::Fault::NotDirectory);
        // Its owner could read and change every entry: a registry is not made in another account's directory.
        if (st.st_uid != ::geteuid()) {
            m.owner = st.st_uid;
            return fail(Made::Fault::OtherOwner);
        }
    }
    io::File f(::open(config.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!f.is_open()) return fail(errno == EEXIST ? Made::Fault::ConfigExists : Made::Fault::CreateConfig);
    const std::string text = "# TOLV Flatfile registry, made by tolvadm init\ndir=" + dir + "/\n";
    if (!f.write_all(text) || !f.close()) return fail(Made::Fault::WriteConfig);
    return m;
}

}  // namespace tolv::admin
