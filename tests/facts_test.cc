#include "facts.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace brimful {
namespace {

TEST(Facts, OwnerIsReadOnlyFromAProcessThatKeptItsIds) {
  EXPECT_EQ(parse_status_owner("Uid:\t7\t7\t7\t7\nGid:\t9\t9\t9\t9\n")->gid, 9u);
  // A process that changed its IDs is no one's to reach through /proc.
  EXPECT_FALSE(parse_status_owner("Uid:\t7\t0\t7\t7\nGid:\t9\t9\t9\t9\n"));
}

TEST(Facts, GatheredFromTheTreeTheyArePointedAt) {
  testing::TempDir dir;
  for (const char* sub : {"self", "sys", "sys/fs", "sys/fs/inotify", "sys/user"}) testing::make_dir(dir / sub);
  testing::write_file(dir / "self/status", "Uid:\t5\t7\t5\t5\n");
  testing::write_file(dir / "sys/user/max_inotify_instances", "4\n");
  Viewpoint view;
  view.proc_root = dir.path();
  const ExplainFacts facts = gather_explain_facts(view);
  EXPECT_EQ(facts.effective_uid, 7u);
  EXPECT_EQ(facts.open_files_limit, std::nullopt);
  EXPECT_EQ(facts.inotify_limit_files.namespace_instances, 4u);
  EXPECT_EQ(facts.inotify_limit_files.global_instances, std::nullopt);
}

TEST(Facts, OverlayOptionPathsTakeBackslashesAsOverlayfsDoes) {
  // overlayfs escapes a comma and a backslash with a backslash of its own.
  EXPECT_EQ(overlay_option_path("/up\\,per dir"), "/up,per dir");
  EXPECT_EQ(overlay_option_path("/a\\\\b\\"), "/a\\b");
}

}  // namespace
}  // namespace brimful
