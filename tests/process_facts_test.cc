#include "process_facts.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <gtest/gtest.h>

#include "facts.h"
#include "test_util.h"

namespace brimful {
namespace {

TEST(ProcessFacts, DescriptorKindsAndTheMountThatHoldsAPath) {
  const std::pair<const char*, const char*> kinds[] = {
      {"socket:[123]", "socket"},       {"pipe:[9]", "pipe"},     {"anon_inode:[eventfd]", "eventfd"},
      {"anon_inode:inotify", "inotify"}, {"/dev/null", "device"}, {"/srv/log (deleted)", "file"},
      {"net:[4026531840]", "other"},    {"anon_inode:", "other"},
  };
  for (const auto& [link, kind] : kinds) EXPECT_EQ(descriptor_kind(link), kind) << link;

  // Two mounts stacked on one point: the later line is the one on top.
  const std::string table =
      "21 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "30 21 0:40 / /srv rw - tmpfs tmpfs rw\n"
      "31 30 0:41 / /srv rw shared:2 - tmpfs tmpfs rw\n"
      "32 21 0:42 / /srv\\040data rw - xfs /dev/sdb rw\n"
      "33 21 0:43 / /ro rw,nosuid - ext4 /dev/sdc rw,errors=remount-ro\n"
      "34 33 0:43 /a /ro/a nosuid,ro - ext4 /dev/sdc rw\n"
      "35 33 0:43 /b /ro/b rw - ext4 /dev/sdc ro\n"
      "garbage\n";
  std::optional<MountPlace> place = covering_mount(table, "/srv/app/x");
  ASSERT_TRUE(place);
  EXPECT_EQ(place->device, makedev(0, 41));
  EXPECT_EQ(place->mount_point, "/srv");
  EXPECT_EQ(place->fs_type, "tmpfs");
  place = covering_mount(table, "/srv data");
  ASSERT_TRUE(place);
  EXPECT_EQ(place->fs_type, "xfs");
  EXPECT_EQ(covering_mount(table, "/srvx")->mount_point, "/");
  // Read-only by the mount's own options or the filesystem's, nothing else.
  EXPECT_FALSE(covering_mount(table, "/srv")->read_only);
  EXPECT_FALSE(covering_mount(table, "/ro")->read_only);
  EXPECT_TRUE(covering_mount(table, "/ro/a")->read_only);
  EXPECT_TRUE(covering_mount(table, "/ro/b")->read_only);

  // A name may hold blanks and parentheses; PF_KTHREAD marks a kernel thread.
  EXPECT_TRUE(parse_process_stat("27 (kdevtmpfs) S 2 0 0 0 -1 2129984 0 0\n").value().kernel_thread);
  const ProcessStat user = parse_process_stat("900 (a) b (c) S 1 900 900 0 -1 4194560 5\n").value();
  EXPECT_EQ(user.parent, 1u);
  EXPECT_FALSE(user.kernel_thread);
  EXPECT_FALSE(parse_process_stat("27 (kdevtmpfs) S 2"));

  EXPECT_EQ(parse_file_table("724\t0\t699\n", "699\n")->allocated, 724u);
  EXPECT_FALSE(parse_file_table("724\t0\t0\n", "0\n"));
  EXPECT_FALSE(parse_file_table("", "699\n"));

  EXPECT_EQ(parse_fuse_connection("pos:\t0\nflags:\t0100002\nmnt_id:\t61\nino:\t89\nfuse_connection:\t41\n"), 41u);
  EXPECT_FALSE(parse_fuse_connection("pos:\t0\nflags:\t0100002\nmnt_id:\t61\n"));
  EXPECT_FALSE(parse_fuse_connection("fuse_connection:\t\n"));
}

// A /proc built by hand: process 42 at its limit of 4 with three sockets
// and a file on the examined filesystem, process 43 far from its limit.
TEST(ProcessFacts, ReadFromTheTreeTheyArePointedAt) {
  testing::TempDir dir;
  const std::string proc = dir / "proc";
  for (const char* sub : {"proc", "proc/sys", "proc/sys/fs", "proc/42", "proc/42/fd", "proc/43", "proc/43/fd"}) {
    testing::make_dir(dir / sub);
  }
  testing::write_file(dir / "held", "x");
  testing::write_file(proc + "/sys/fs/file-nr", "700\t0\t700\n");
  testing::write_file(proc + "/sys/fs/file-max", "700\n");
  testing::write_file(proc + "/42/comm", "app\n");
  testing::write_file(proc + "/42/limits",
                      "Limit                     Soft Limit           Hard Limit           Units\n"
                      "Max open files            4                    4096                 files\n");
  testing::write_file(proc + "/43/limits", "Max open files            1024                 4096                 files\n");
  for (const char* fd : {"0", "1", "2"}) testing::make_symlink("socket:[7]", proc + "/42/fd/" + fd);
  testing::make_symlink(dir / "held", proc + "/42/fd/3");
  testing::make_symlink(dir / "held", proc + "/43/fd/0");
  struct stat held {};
  ASSERT_EQ(::stat((dir / "held").c_str(), &held), 0);

  Viewpoint view;
  view.proc_root = proc;
  view.as_seen_by = ProcessIdentity{42, "app", 0, 0};
  ExplainFacts facts = gather_explain_facts(view);
  ASSERT_TRUE(facts.file_table);
  EXPECT_EQ(facts.file_table->allocated, 700u);
  ASSERT_TRUE(facts.process_descriptors);
  EXPECT_EQ(facts.process_descriptors->process, "app");
  EXPECT_EQ(facts.process_descriptors->open, 4u);
  EXPECT_EQ(facts.process_descriptors->limit, 4u);
  ASSERT_EQ(facts.process_descriptors->kinds.size(), 2u);
  EXPECT_EQ(facts.process_descriptors->kinds[0].kind, "socket");
  EXPECT_EQ(facts.process_descriptors->kinds[0].count, 3u);
  EXPECT_TRUE(facts.crowded_holders.empty());

  // Without a process to speak for: who near its limit holds the filesystem.
  const std::vector<CrowdedProcess> crowded = read_crowded_processes(proc);
  const std::vector<ProcessDescriptors> holders = crowded_holders(crowded, held.st_dev);
  ASSERT_EQ(holders.size(), 1u);
  EXPECT_EQ(holders[0].pid, 42u);
  EXPECT_TRUE(crowded_holders(crowded, held.st_dev + 1).empty());
}

// Two processes of one other namespace use /srv: the first one's table
// answers for both, so the second's (which would differ) is never read.
TEST(ProcessFacts, EachOtherNamespaceIsExaminedOnce) {
  testing::TempDir dir;
  const std::string proc = dir / "proc";
  for (const char* sub : {"proc", "proc/self", "proc/self/ns", "proc/50", "proc/50/ns", "proc/51", "proc/51/ns"}) {
    testing::make_dir(dir / sub);
  }
  testing::make_symlink("mnt:[1]", proc + "/self/ns/mnt");
  for (const char* pid : {"50", "51"}) {
    testing::make_symlink("mnt:[2]", proc + "/" + pid + "/ns/mnt");
    testing::make_symlink("/srv/app", proc + "/" + pid + "/cwd");
  }
  // The process listed first has the table that gives nothing.
  std::vector<std::string> order;
  DIR* listing = ::opendir(proc.c_str());
  ASSERT_NE(listing, nullptr);
  while (const dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] == '5') order.emplace_back(entry->d_name);
  }
  ::closedir(listing);
  ASSERT_EQ(order.size(), 2u);
  testing::write_file(proc + "/" + order[0] + "/mountinfo", "30 1 0:41 / /srv rw - tmpfs tmpfs rw\n");
  testing::write_file(proc + "/" + order[1] + "/mountinfo", "30 1 0:99 / /srv rw - xfs /dev/sdb rw\n");
  EXPECT_TRUE(read_other_namespace_views(proc, "/srv", makedev(0, 41)).empty());
}

std::string describe(const std::vector<MountPlace>& places) {
  std::string text;
  for (const MountPlace& place : places) {
    text += std::to_string(place.device) + " " + place.mount_point + " " + place.fs_type + (place.read_only ? " ro\n" : "\n");
  }
  return text;
}

// A namespace's listing turned to a process's root, which lies at /srv/x on
// mount 2 while mount 3 covers /srv: what lies on 3 is out of its sight.
TEST(ProcessFacts, ListedMountsAreSeenFromTheProcessRoot) {
  NamespaceListing listing{{{1, 0, 10, "/", "ext4"},
                            {2, 1, 20, "/srv", "tmpfs"},
                            {3, 2, 30, "/srv", "xfs"},
                            {4, 2, 40, "/srv/x/a", "tmpfs", true},
                            {5, 3, 50, "/srv/x/a", "tmpfs"},
                            {6, 4, 60, "/srv/x/a/b\\040c", "fuse.s"}},
                           "/srv/x",
                           2};
  EXPECT_EQ(describe(places_under_root(listing)), "40 /a tmpfs ro\n60 /a/b\\040c fuse.s\n");
  listing.root_path = "/srv";
  EXPECT_EQ(describe(places_under_root(listing)), "20 / tmpfs\n30 / xfs\n40 /x/a tmpfs ro\n50 /x/a tmpfs\n60 /x/a/b\\040c fuse.s\n");
  listing.root_path = "/";
  listing.root_mount = 1;
  EXPECT_EQ(describe(places_under_root(listing)).substr(0, 21), "10 / ext4\n20 /srv tmp");
}

}  // namespace
}  // namespace brimful
