// The one tree remover: the product's own over this system's files, where symbolic links stand in
// for junctions and Windows' symbolic links, which it must delete as themselves; and its walk over
// files that refuse to go.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <system_error>

#include "support/test_support.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/tree_removal.hpp"

namespace {
namespace fs = std::filesystem;
namespace files = vetra_service_manager::platform::files;
using namespace vetra_service_manager::platform::tree_removal;

TEST(TreeRemoval, DeletesLinksAsThemselvesAndNothingOutsideTheTree) {
    vsm_test::TempDir tmp;
    const fs::path outside = tmp / "outside", tree = tmp / "tree";
    vsm_test::write_file(outside / "keep" / "deep.txt", "x");
    vsm_test::write_file(tree / "a" / "b" / "file.txt", "x");
    fs::create_directory_symlink(outside, tree / "a" / "junction");
    fs::create_symlink(outside / "keep" / "deep.txt", tree / "file_link");
    fs::create_directory_symlink(outside / "keep", tmp / "root_link");

    files::remove_tree(tree);
    files::remove_tree(tmp / "root_link");
    files::remove_tree(tmp / "missing");

    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(tmp / "root_link")));
    EXPECT_EQ(vsm_test::read_file(outside / "keep" / "deep.txt"), "x");
}

// This system's files, but for the paths in `refused`, whose deletion fails as a file in use does.
struct RefusingFilesystem : Filesystem {
    std::set<fs::path> refused;

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
    void remove_file(const fs::path& path) override { remove(path); }
    void remove_directory(const fs::path& path) override { remove(path); }
    void remove_link(const fs::path& path) override { remove(path); }

    void remove(const fs::path& path) const {
        if (refused.count(path)) throw std::system_error(EBUSY, std::generic_category(), "Cannot delete " + path.string());
        fs::remove(path);
    }
};

TEST(TreeRemoval, WhatResistsStopsTheRemovalOrIsLeftAndReturnedByTheBestEffort) {
    vsm_test::TempDir tmp;
    const fs::path tree = tmp / "tree", held = tree / "a" / "held.txt";
    vsm_test::write_file(held, "x");
    vsm_test::write_file(tree / "a" / "b" / "file.txt", "x");
    vsm_test::write_file(tree / "c.txt", "x");
    RefusingFilesystem filesystem;
    filesystem.refused = {held};

    EXPECT_THROW(remove_tree(tree, filesystem), std::system_error);
    EXPECT_TRUE(fs::exists(held));

    const std::error_code busy(EBUSY, std::generic_category());
    EXPECT_EQ(remove_tree_best_effort(tree, filesystem), (std::vector<Left>{{held, busy}, {tree / "a", {}}, {tree, {}}}));
    EXPECT_TRUE(fs::exists(held));
    EXPECT_FALSE(fs::exists(tree / "a" / "b"));
    EXPECT_FALSE(fs::exists(tree / "c.txt"));

    filesystem.refused.clear();
    EXPECT_EQ(remove_tree_best_effort(tree, filesystem), std::vector<Left>{});
    EXPECT_FALSE(fs::exists(tree));
}

}  // namespace
