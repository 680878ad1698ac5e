// Where the program reads its port file and opens its dialogs, built tree against installed.
#include "app/places.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
class PlacesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("zelplaces-" + std::to_string(::getpid()));
        fs::remove_all(root);
        // A build tree: the panel file beside the executable.
        build = (root / "build/bin").string();
        touch(build + "/ZEL-A-RadovU20.ui");
        // An installed prefix: bin/ without it, share/zel-vavod/ with it.
        bin = (root / "usr/bin").string();
        fs::create_directories(bin);
        touch((root / "usr/share/zel-vavod/ZEL-A-RadovU20.ui").string());
        home = (root / "home").string();
        fs::create_directories(home);
        etc = (root / "etc/zel-vavod").string();
        fs::create_directories(etc);
    }
    void TearDown() override { fs::remove_all(root); }

    static void touch(const std::string& path) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << "3\n";
    }
    PlaceInputs inputs(const std::string& exeDir) const {
        PlaceInputs in;
        in.exeDir = exeDir;
        in.home = home;
        in.documentsDir = home + "/Documents";
        in.systemConfigDir = etc;
        return in;
    }

    fs::path root;
    std::string build, bin, home, etc;
};
} // namespace

TEST_F(PlacesTest, BuildTreeKeepsEverythingBesideTheExecutable) {
    // A user's port file and documents exist, and do not matter here.
    touch(home + "/.config/zel-vavod/comport.cfg");
    fs::create_directories(home + "/Documents");
    Places p = ChoosePlaces(inputs(build));
    EXPECT_EQ(p.portFile, build + "/comport.cfg");
    EXPECT_EQ(p.dialogDir, build);
    EXPECT_EQ(FindResource(build, "ZEL-A-RadovU20.ui"), build + "/ZEL-A-RadovU20.ui");
    // Without a panel file anywhere it is still the executable's directory.
    fs::remove(build + "/ZEL-A-RadovU20.ui");
    EXPECT_EQ(ChoosePlaces(inputs(build)).portFile, build + "/comport.cfg");
    EXPECT_EQ(FindResource(build, "ZEL-A-RadovU20.ui"), build + "/ZEL-A-RadovU20.ui");
}

// A Windows program keeps everything in its folder; under Program Files, where the user may
// not write, its dialogs open in the documents (else home) so a save can succeed.
TEST_F(PlacesTest, AFolderTheUserMayNotWriteOpensDialogsInTheDocuments) {
    PlaceInputs in = inputs(build);
    in.exeDirWritable = false;
    EXPECT_EQ(ChoosePlaces(in).portFile, build + "/comport.cfg");
    EXPECT_EQ(ChoosePlaces(in).dialogDir, home);
    fs::create_directories(home + "/Documents");
    EXPECT_EQ(ChoosePlaces(in).dialogDir, home + "/Documents");
    in.dirOption = root.string();
    EXPECT_EQ(ChoosePlaces(in).dialogDir, root.string());
}

TEST_F(PlacesTest, InstalledReadsTheUsersPortFileFirst) {
    EXPECT_EQ(FindResource(bin, "ZEL-A-RadovU20.ui"),
              bin + "/../share/zel-vavod/ZEL-A-RadovU20.ui");
    touch(etc + "/comport.cfg");
    const std::string xdg = root.string() + "/xdg";
    touch(xdg + "/zel-vavod/comport.cfg");
    touch(home + "/.config/zel-vavod/comport.cfg");

    PlaceInputs in = inputs(bin);
    in.configHome = xdg;
    EXPECT_EQ(ChoosePlaces(in).portFile, xdg + "/zel-vavod/comport.cfg");
    // XDG_CONFIG_HOME unset, or relative (which the XDG rules ignore): ~/.config.
    in.configHome = "";
    EXPECT_EQ(ChoosePlaces(in).portFile, home + "/.config/zel-vavod/comport.cfg");
    in.configHome = "xdg";
    EXPECT_EQ(ChoosePlaces(in).portFile, home + "/.config/zel-vavod/comport.cfg");
}

TEST_F(PlacesTest, InstalledFallsBackToTheSystemPortFile) {
    PlaceInputs in = inputs(bin);
    // Neither file: the user's is named, and reading it gives the default port.
    EXPECT_EQ(ChoosePlaces(in).portFile, home + "/.config/zel-vavod/comport.cfg");
    touch(etc + "/comport.cfg");
    EXPECT_EQ(ChoosePlaces(in).portFile, etc + "/comport.cfg");
    // A directory where the user's file should be is not a port file.
    fs::create_directories(home + "/.config/zel-vavod/comport.cfg");
    EXPECT_EQ(ChoosePlaces(in).portFile, etc + "/comport.cfg");
    // No home at all.
    in.home = "";
    EXPECT_EQ(ChoosePlaces(in).portFile, etc + "/comport.cfg");
}

TEST_F(PlacesTest, InstalledDialogsOpenInTheDocumentsElseHome) {
    PlaceInputs in = inputs(bin);
    EXPECT_EQ(ChoosePlaces(in).dialogDir, home);
    fs::create_directories(home + "/Documents");
    EXPECT_EQ(ChoosePlaces(in).dialogDir, home + "/Documents");
    in.documentsDir = "";
    EXPECT_EQ(ChoosePlaces(in).dialogDir, home);
}

TEST_F(PlacesTest, DirOptionOverridesBothLayouts) {
    const std::string dir = root.string() + "/chosen";
    touch(etc + "/comport.cfg");
    touch(home + "/.config/zel-vavod/comport.cfg");
    fs::create_directories(home + "/Documents");
    for (const auto& exeDir : {build, bin}) {
        PlaceInputs in = inputs(exeDir);
        in.dirOption = dir;
        Places p = ChoosePlaces(in);
        EXPECT_EQ(p.portFile, dir + "/comport.cfg") << exeDir;
        EXPECT_EQ(p.dialogDir, dir) << exeDir;
    }
}
