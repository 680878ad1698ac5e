#include "app/places.h"

#include "store/textfile.h"

#include <filesystem>

namespace {
bool IsFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

bool IsDir(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_directory(path, ec);
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
        // A folder the user may not write (a Windows program under Program Files) is no place
        // to save parameter files in.
        const std::string dialogs = in.exeDirWritable        ? in.exeDir
                                    : IsDir(in.documentsDir) ? in.documentsDir
                                    : IsDir(in.home)         ? in.home
                                                             : in.exeDir;
        return {in.exeDir + portName, dialogs};
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

int ReadPortFile(const char* path) {
    std::string text;
    if (!path || !ReadWholeFile(path, text)) {
        return 1;
    }
    TokenReader tokens(text);
    std::string_view tok = tokens.next();
    // A plus sign and leading zeros never change a number's meaning.
    if (!tok.empty() && tok[0] == '+') {
        tok.remove_prefix(1);
    }
    // Like a number scanner: the leading digits count, whatever follows them.
    std::size_t digits = 0;
    while (digits < tok.size() && tok[digits] >= '0' && tok[digits] <= '9') {
        ++digits;
    }
    std::uint64_t n = 0;
    if (digits == 0 || !ParseUnsigned(tok.substr(0, digits), 255, n)) {
        return 1;
    }
    return static_cast<int>(n);
}
