// Where the program finds its resources, reads its port file and opens its file dialogs, and
// the port file itself. Pure: the window and the command-line tool share it.
#pragma once

#include <string>

inline constexpr const char* kPanelFile = "ZEL-A-RadovU20.ui";
inline constexpr const char* kPortFile = "comport.cfg";

// `name` beside the executable (a build tree), else in <exe>/../share/zel-vavod (an installed
// prefix); the first candidate when neither exists, so the error names a sensible path.
std::string FindResource(const std::string& exeDir, const char* name);

struct PlaceInputs {
    std::string exeDir;
    std::string dirOption;    // --dir DIR; empty when not given
    std::string configHome;   // $XDG_CONFIG_HOME; empty when unset
    std::string home;         // $HOME; empty when unset
    std::string documentsDir; // the user's documents directory; empty when unknown
    std::string systemConfigDir = "/etc/zel-vavod";
    bool exeDirWritable = true; // false: a folder the user may not write (C:\Program Files)
};

struct Places {
    std::string portFile;  // read at start, never written
    std::string dialogDir; // where file dialogs open
};

// A build tree (the panel file beside the executable) keeps everything in the executable's
// directory; so does a Windows folder, except that dialogs open in the documents when the user
// may not write there. An installed program reads the user's port file, else the system-wide one,
// and opens dialogs in the user's documents. --dir overrides both.
Places ChoosePlaces(const PlaceInputs& in);

// Port file: the port number it holds, or 1 when it is missing, unreadable or above 255.
int ReadPortFile(const char* path);
