#include "port_trouble.h"

#include "host/clean_text.h"

#include <QDir>
#include <QFileInfo>
#include <QtGlobal>

#include <cctype>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
#ifdef Q_OS_LINUX
std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

// The processes holding the device open, as "name (PID n)"; at most a few, the scan bounded.
std::vector<std::string> Holders(const std::string& device) {
    std::vector<std::string> found;
    const std::string target = RealPath(device);
    DIR* proc = ::opendir("/proc");
    if (!proc) {
        return found;
    }
    int scanned = 0;
    while (dirent* e = ::readdir(proc)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9' || ++scanned > 4096 || found.size() >= 3) {
            continue;
        }
        const std::string pid = e->d_name;
        if (pid == std::to_string(::getpid())) {
            continue;
        }
        const std::string fdDir = "/proc/" + pid + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (!fds) {
            continue; // another user's process: not ours to look into
        }
        bool holds = false;
        while (dirent* f = ::readdir(fds)) {
            char link[PATH_MAX];
            const std::string path = fdDir + "/" + f->d_name;
            const ssize_t n = ::readlink(path.c_str(), link, sizeof link - 1);
            if (n > 0) {
                link[n] = '\0';
                holds = holds || target == link;
            }
        }
        ::closedir(fds);
        if (holds) {
            std::string name;
            std::ifstream comm("/proc/" + pid + "/comm");
            std::getline(comm, name);
            found.push_back((name.empty() ? "a program" : CleanName(name, 64)) + " (PID " + pid +
                            ")");
        }
    }
    ::closedir(proc);
    return found;
}

// How the device opens for us right now, without waiting and without becoming its
// controlling terminal: busy (another program holds it exclusively), not a terminal, or fine.
enum class Probe { Opens, Busy, NotATerminal, Other };
Probe ProbeDevice(const std::string& device) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == EBUSY ? Probe::Busy : Probe::Other;
    }
    const bool tty = ::isatty(fd) == 1;
    ::close(fd);
    return tty ? Probe::Opens : Probe::NotATerminal;
}

std::string Mode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}
#endif
} // namespace

std::string DescribeOpenTrouble(const std::string& device,
                                const std::vector<std::string>& present) {
#ifdef Q_OS_LINUX
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            return {};
        }
        std::string list;
        for (const std::string& p : present) {
            if (p != device && list.size() < 200) {
                list += (list.empty() ? "" : ", ") + CleanName(p);
            }
        }
        return "no such device (present: " + (list.empty() ? std::string("none") : list) + ")";
    }
    if (!S_ISCHR(st.st_mode)) {
        return "not a serial device (not a character device)";
    }
    if (::access(device.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        const group* g = ::getgrgid(st.st_gid);
        const std::string name =
            CleanName(g && g->gr_name ? g->gr_name : std::to_string(st.st_gid));
        const bool groupMay = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
        // Joining the group helps only when the node lets its group read and write, and
        // root's group is never the answer.
        if (groupMay && st.st_gid != 0) {
            return "permission denied (group " + name + "); to get access: sudo usermod -aG " +
                   name + " $USER, then log in again";
        }
        const passwd* pw = ::getpwuid(st.st_uid);
        const std::string owner =
            CleanName(pw && pw->pw_name ? pw->pw_name : std::to_string(st.st_uid));
        return "permission denied (owner " + owner + ", mode " + Mode(st.st_mode) +
               "); to get access: ask the administrator for a udev rule giving the device a "
               "group of yours with read and write (mode 0660)";
    }
    // Named only when the device is a terminal that is really held: refused as busy, or open
    // elsewhere while ours failed (another program's lock). /dev/null is held by every shell.
    const Probe probe = ProbeDevice(device);
    if (probe == Probe::NotATerminal) {
        return "not a serial device";
    }
    if (probe == Probe::Other) {
        return {};
    }
    const std::vector<std::string> holders = Holders(device);
    if (!holders.empty()) {
        std::string list;
        for (const std::string& h : holders) {
            list += (list.empty() ? "" : ", ") + h;
        }
        return "in use by " + list;
    }
    if (probe == Probe::Opens) {
        return {};
    }
    return "in use by another program";
#else
    // A COM port is no file: only the system's list of ports can tell that one is missing (an
    // empty list tells nothing; Wine's is). Otherwise the open error says the rest.
    const auto bare = [](std::string name) {
        if (name.rfind("\\\\.\\", 0) == 0) {
            name.erase(0, 4);
        }
        for (char& c : name) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return name;
    };
    std::string list;
    for (const std::string& p : present) {
        if (bare(p) == bare(device)) {
            return {};
        }
        if (list.size() < 200) {
            list += (list.empty() ? "" : ", ") + bare(p);
        }
    }
    return list.empty() ? std::string() : "no such device (present: " + list + ")";
#endif
}

std::string TroubleCause(const std::string& trouble) {
    const auto cut = trouble.find("; ");
    return cut == std::string::npos ? trouble : trouble.substr(0, cut);
}

std::string StableDeviceName(const std::string& device) {
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    if (!byId.exists()) {
        return {};
    }
    const QString target = QFileInfo(QString::fromStdString(device)).canonicalFilePath();
    if (target.isEmpty()) {
        return {};
    }
    const auto entries = byId.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& e : entries) {
        if (e.canonicalFilePath() == target) {
            return e.absoluteFilePath().toStdString();
        }
    }
    return {};
}
