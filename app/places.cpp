#include "app/places.h"

#include "app/app.h"

#include <sys/stat.h>

namespace {
bool IsFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDir(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ShareDir(const std::string& exeDir) {
    return exeDir + "/../share/zel-vavod";
}
} // namespace

std::string FindResource(const std::string& exeDir, const char* name) {
    const std::string candidates[] = {exeDir + "/" + name, ShareDir(exeDir) + "/" + name};
    for (const auto& c : candidates) {
        if (IsFile(c)) {
            return c;
        }
    }
    return candidates[0];
}

Places ChoosePlaces(const PlaceInputs& in) {
    const std::string portName = std::string("/") + kPortFile;
    if (!in.dirOption.empty()) {
        return {in.dirOption + portName, in.dirOption};
    }
    const bool installed =
        !IsFile(in.exeDir + "/" + kPanelFile) && IsFile(ShareDir(in.exeDir) + "/" + kPanelFile);
    if (!installed) {
        return {in.exeDir + portName, in.exeDir};
    }

    // XDG: a relative XDG_CONFIG_HOME is invalid and ignored.
    std::string configHome = in.configHome;
    if (configHome.empty() || configHome[0] != '/') {
        configHome = in.home.empty() ? std::string() : in.home + "/.config";
    }
    const std::string user =
        configHome.empty() ? std::string() : configHome + "/zel-vavod" + portName;
    const std::string system = in.systemConfigDir + portName;
    Places p;
    // With neither file present the user's is named: reading it gives the default port.
    p.portFile = (user.empty() || (!IsFile(user) && IsFile(system))) ? system : user;
    p.dialogDir = IsDir(in.documentsDir) ? in.documentsDir : IsDir(in.home) ? in.home : in.exeDir;
    return p;
}
