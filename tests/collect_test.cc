#include "collect.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace brimful {
namespace {

TEST(LexicalParent, ComponentRules) {
  struct Case {
    const char* path;
    std::optional<OsPath> parent;
  };
  const Case cases[] = {
      {"/a/b", OsPath("/a")},
      {"/a", OsPath("/")},
      {"/", std::nullopt},
      {"/a/b/", OsPath("/a")},
      {"/a/b/.", OsPath("/a")},
      {"//srv/./new//x", OsPath("/srv/new")},
      {"/a/..", OsPath("/a")},
      {"a/b", OsPath("a")},
      {"a", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(lexical_parent(c.path), c.parent) << c.path;
}

class Resolve : public ::testing::Test {
 protected:
  void SetUp() override {
    char* real = realpath(dir_.path().c_str(), nullptr);
    root_ = real;
    free(real);
    testing::make_dir(root_ + "/d");
    testing::write_file(root_ + "/d/file.txt", "x");
    testing::make_symlink(root_ + "/d", root_ + "/link-to-dir");
    testing::make_symlink(root_ + "/nowhere", root_ + "/dangling");
    testing::make_symlink("loop-b", root_ + "/loop-a");
    testing::make_symlink("loop-a", root_ + "/loop-b");
  }

  Resolution resolve(const std::string& path) {
    const Result<Resolution> resolution = resolve_target(path);
    EXPECT_TRUE(resolution.ok()) << path << ": " << (resolution.ok() ? "" : resolution.error());
    return resolution.ok() ? resolution.value() : Resolution{};
  }

  std::string error_of(const std::string& path) {
    const Result<Resolution> resolution = resolve_target(path);
    EXPECT_FALSE(resolution.ok()) << path;
    return resolution.ok() ? "" : resolution.error();
  }

  testing::TempDir dir_;
  std::string root_;
};

TEST_F(Resolve, ExistingDirectoryIsTargetProbeDirectoryAndInspectedPath) {
  const Resolution r = resolve(root_ + "/d/./");
  EXPECT_EQ(r.target, root_ + "/d");
  EXPECT_TRUE(r.target_exists);
  EXPECT_EQ(r.probe_directory, root_ + "/d");
  EXPECT_EQ(r.inspected, root_ + "/d");

  const Resolution top = resolve("/");
  EXPECT_EQ(top.target, "/");
  EXPECT_EQ(top.probe_directory, "/");
}

TEST_F(Resolve, ExistingFileIsInspectedItselfAndProbedBesideIt) {
  const Resolution r = resolve(root_ + "/link-to-dir/../d/file.txt");
  EXPECT_EQ(r.target, root_ + "/d/file.txt");
  EXPECT_TRUE(r.target_exists);
  EXPECT_EQ(r.probe_directory, root_ + "/d");
  EXPECT_EQ(r.inspected, root_ + "/d/file.txt");
}

TEST_F(Resolve, SymbolicLinkToDirectoryResolvesToItsDestination) {
  const Resolution r = resolve(root_ + "/link-to-dir");
  EXPECT_EQ(r.target, root_ + "/d");
  EXPECT_EQ(r.probe_directory, root_ + "/d");
}

TEST_F(Resolve, MissingPathWalksUpToTheNearestExistingDirectory) {
  const Resolution deep = resolve(root_ + "/d/a/b/c");
  EXPECT_EQ(deep.target, root_ + "/d/a/b/c");
  EXPECT_FALSE(deep.target_exists);
  EXPECT_EQ(deep.probe_directory, root_ + "/d");
  EXPECT_EQ(deep.inspected, root_ + "/d");

  // The missing names are put back after the canonical parent, normalised.
  const Resolution messy = resolve(root_ + "/link-to-dir/./new//x/");
  EXPECT_EQ(messy.target, root_ + "/d/new/x");
  EXPECT_EQ(messy.probe_directory, root_ + "/d");

  const Resolution dangling = resolve(root_ + "/dangling");
  EXPECT_EQ(dangling.target, root_ + "/dangling");
  EXPECT_FALSE(dangling.target_exists);
  EXPECT_EQ(dangling.probe_directory, root_);
}

TEST_F(Resolve, FailuresNameThePathAndTheCause) {
  EXPECT_EQ(error_of(root_ + "/missing/../x"), "cannot find an existing parent for " + root_ + "/missing/../x");
  EXPECT_EQ(error_of(root_ + "/d/file.txt/x"),
            "cannot inspect " + root_ + "/d/file.txt/x: Not a directory (os error 20)");
  EXPECT_EQ(error_of(root_ + "/loop-a"),
            "cannot inspect " + root_ + "/loop-a: Too many levels of symbolic links (os error 40)");
  const std::string long_name(5000, 'n');
  EXPECT_EQ(error_of("/" + long_name), "cannot inspect /" + long_name + ": File name too long (os error 36)");
  // Invalid UTF-8 is shown with replacement characters, never raw.
  EXPECT_EQ(error_of(root_ + "/d/file.txt/\xff"),
            "cannot inspect " + root_ + "/d/file.txt/\xEF\xBF\xBD: Not a directory (os error 20)");
}

TEST_F(Resolve, NonUtf8NamesSurviveAsBytes) {
  const std::string name = root_ + "/d/\xff\xfe";
  testing::make_dir(name);
  EXPECT_EQ(resolve(name).target, name);
  EXPECT_EQ(resolve(name + "/missing").target, name + "/missing");
}

TEST_F(Resolve, CollectionWithoutProbesCreatesNothing) {
  SKIP_UNLESS(testing::mount_table_shows(root_, &skip_reason));
  const std::vector<std::string> before = testing::list_dir(root_ + "/d");
  const Result<Evidence> evidence = collect_evidence(root_ + "/d", true);
  ASSERT_TRUE(evidence.ok()) << evidence.error();
  EXPECT_TRUE(is_not_run(evidence.value().create_probe.outcome));
  EXPECT_TRUE(is_not_run(evidence.value().inotify_probe.init));
  EXPECT_TRUE(is_not_run(evidence.value().inotify_probe.add_watch));
  EXPECT_FALSE(evidence.value().mount->fs_type.empty());
  EXPECT_GT(evidence.value().filesystem.total_bytes, 0u);
  EXPECT_EQ(testing::list_dir(root_ + "/d"), before);
}

TEST_F(Resolve, CollectionRunsBothProbesAndLeavesNothingBehind) {
  SKIP_UNLESS(testing::mount_table_shows(root_, &skip_reason));
  const std::vector<std::string> before = testing::list_dir(root_ + "/d");
  const Result<Evidence> evidence = collect_evidence(root_ + "/d", false);
  ASSERT_TRUE(evidence.ok()) << evidence.error();
  EXPECT_TRUE(is_success(evidence.value().create_probe.outcome));
  EXPECT_TRUE(is_success(evidence.value().inotify_probe.init));
  EXPECT_TRUE(is_success(evidence.value().inotify_probe.add_watch));
  EXPECT_EQ(testing::list_dir(root_ + "/d"), before);
}

}  // namespace
}  // namespace brimful
