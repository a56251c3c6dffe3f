// The walk that removes trees on Windows, over this system's files: symbolic links stand in for
// junctions and Windows' symbolic links, which the walk must delete as themselves.
#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "vetra_service_manager/platform/tree_removal.hpp"

namespace {
namespace fs = std::filesystem;
using namespace vetra_service_manager::platform::tree_removal;

struct RealFilesystem : Filesystem {
    Kind kind(const fs::path& path) const override {
        switch (fs::symlink_status(path).type()) {
        case fs::file_type::not_found: return Kind::missing;
        case fs::file_type::symlink: return Kind::link;
        case fs::file_type::directory: return Kind::directory;
        default: return Kind::file;
        }
    }
    std::vector<fs::path> entries(const fs::path& directory) const override {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(directory)) found.push_back(entry.path());
        return found;
    }
    void remove_file(const fs::path& path) override { fs::remove(path); }
    void remove_directory(const fs::path& path) override { fs::remove(path); }
    void remove_link(const fs::path& path) override { fs::remove(path); }
};

TEST(TreeRemoval, DeletesLinksAsThemselvesAndNothingOutsideTheTree) {
    vsm_test::TempDir tmp;
    const fs::path outside = tmp / "outside", tree = tmp / "tree";
    vsm_test::write_file(outside / "keep" / "deep.txt", "x");
    vsm_test::write_file(tree / "a" / "b" / "file.txt", "x");
    fs::create_directory_symlink(outside, tree / "a" / "junction");
    fs::create_symlink(outside / "keep" / "deep.txt", tree / "file_link");
    fs::create_directory_symlink(outside / "keep", tmp / "root_link");
    RealFilesystem filesystem;

    remove_tree(tree, filesystem);
    remove_tree(tmp / "root_link", filesystem);
    remove_tree(tmp / "missing", filesystem);

    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(tmp / "root_link")));
    EXPECT_EQ(vsm_test::read_file(outside / "keep" / "deep.txt"), "x");
}

}  // namespace
