#include "bounded_call.h"
#include "json_writer.h"
#include "report.h"

#include <gtest/gtest.h>

namespace brimful {
namespace {

Evidence full_evidence() {
  Evidence e;
  e.target = "/data/new/file";
  e.target_exists = false;
  e.probe_directory = "/data";
  e.mount.emplace();
  e.mount->mount_id = 36;
  e.mount->mount_point = "/data";
  e.mount->source = std::nullopt;
  e.mount->fs_type = "ext4";
  e.mount->options = {"noatime", "rw"};
  e.filesystem = Filesystem{4096000, 1228800, 0, 1000, 0, true, false};
  e.create_probe.outcome = ProbeError{Phase::write, ErrnoInfo{28, "ENOSPC"}};
  e.inotify_probe.init = ProbeSuccess{};
  e.inotify_probe.add_watch = ProbeError{Phase::add_watch, ErrnoInfo{-3, "UNKNOWN_ERRNO"}};
  e.inotify_limits.max_user_watches = 8192;
  e.inotify_limits.max_user_instances = std::nullopt;
  e.inotify_limits.max_queued_events = 16384;
  DeletedOpenEntry file;
  file.device = 2049;
  file.inode = 12;
  file.path = "/data/log (deleted)";
  file.allocated_bytes = 2147483648;
  file.holders = {Holder{812, "daemon", 4}, Holder{813, "worker", -1}};
  e.proc_scan.deleted_open = {file};
  e.proc_scan.inotify_consumers = {InotifyConsumer{900, "editor", 2, 17}};
  e.proc_scan.processes_scanned = 40;
  e.proc_scan.processes_inaccessible = 2;
  e.proc_scan.complete = false;
  return e;
}

Diagnosis full_diagnosis() {
  Diagnosis d;
  d.status = Status::confirmed;
  d.causes = {CauseKind::block_exhaustion, CauseKind::inode_exhaustion};
  d.contributing = {Contributing{"deleted_open_files", 2147483648, "2147483648 allocated bytes"}};
  d.notes = {"process evidence is incomplete: 2 process directories were inaccessible"};
  return d;
}

// A call waits 2 s, or half of what is left of the run's bound.
TEST(CallDeadline, NeverPastHalfOfWhatIsLeft) {
  const struct {
    std::int64_t now, run_ends;
    const char* waited;
  } cases[] = {{500, 0, "2 s"}, {500, 15500, "2 s"}, {500, 1480, "490 ms"}, {500, 500, "1 ms"}, {900, 500, "1 ms"}};
  for (const auto& c : cases) EXPECT_EQ(waited_text(call_deadline_ms(c.now, c.run_ends, kCallDeadlineMs)), c.waited);
}

TEST(ReportJson, WholeDocumentLayout) {
  const Result<std::string> json = encode_json(full_evidence(), full_diagnosis());
  ASSERT_TRUE(json.ok()) << json.error();
  EXPECT_EQ(json.value(),
            R"json({
  "target": "/data/new/file",
  "target_exists": false,
  "probe_directory": "/data",
  "mount": {
    "mount_id": 36,
    "mount_point": "/data",
    "source": null,
    "fs_type": "ext4",
    "options": [
      "noatime",
      "rw"
    ]
  },
  "filesystem": {
    "total_bytes": 4096000,
    "free_bytes": 1228800,
    "available_bytes": 0,
    "total_inodes": 1000,
    "free_inodes": 0,
    "inode_accounting_supported": true,
    "read_only": false
  },
  "create_probe": {
    "outcome": {
      "result": "error",
      "phase": "write",
      "errno": {
        "code": 28,
        "name": "ENOSPC"
      }
    }
  },
  "inotify_probe": {
    "init": {
      "result": "success"
    },
    "add_watch": {
      "result": "error",
      "phase": "add_watch",
      "errno": {
        "code": -3,
        "name": "UNKNOWN_ERRNO"
      }
    }
  },
  "inotify_limits": {
    "max_user_watches": 8192,
    "max_user_instances": null,
    "max_queued_events": 16384
  },
  "proc_scan": {
    "deleted_open": [
      {
        "device": 2049,
        "inode": 12,
        "path": "/data/log (deleted)",
        "allocated_bytes": 2147483648,
        "holders": [
          {
            "pid": 812,
            "process": "daemon",
            "fd": 4
          },
          {
            "pid": 813,
            "process": "worker",
            "fd": -1
          }
        ]
      }
    ],
    "inotify_consumers": [
      {
        "pid": 900,
        "process": "editor",
        "instances": 2,
        "watches": 17
      }
    ],
    "processes_scanned": 40,
    "processes_inaccessible": 2,
    "complete": false
  },
  "diagnosis": {
    "status": "confirmed",
    "causes": [
      "block_exhaustion",
      "inode_exhaustion"
    ],
    "contributing": [
      {
        "kind": "deleted_open_files",
        "bytes": 2147483648,
        "description": "2147483648 allocated bytes"
      }
    ],
    "notes": [
      "process evidence is incomplete: 2 process directories were inaccessible"
    ]
  }
})json");
}

TEST(ReportJson, NotRunProbesAndEmptyListsStayOnTheirKeyLine) {
  Evidence e;
  e.target = "/";
  e.target_exists = true;
  e.probe_directory = "/";
  e.mount.emplace();
  e.mount->mount_point = "/";
  e.mount->source = "/dev/vda";
  e.mount->fs_type = "tmpfs";
  Diagnosis d;
  d.status = Status::unknown;
  const Result<std::string> json = encode_json(e, d);
  ASSERT_TRUE(json.ok());
  const std::string& text = json.value();
  EXPECT_NE(text.find("    \"options\": []\n  },\n"), std::string::npos);
  EXPECT_NE(text.find("  \"create_probe\": {\n    \"outcome\": {\n      \"result\": \"not_run\"\n    }\n  },"),
            std::string::npos);
  EXPECT_NE(text.find("    \"init\": {\n      \"result\": \"not_run\"\n    },\n"
                      "    \"add_watch\": {\n      \"result\": \"not_run\"\n    }\n"),
            std::string::npos);
  EXPECT_NE(text.find("    \"max_user_watches\": null,\n    \"max_user_instances\": null,\n"
                      "    \"max_queued_events\": null\n"),
            std::string::npos);
  EXPECT_NE(text.find("    \"deleted_open\": [],\n    \"inotify_consumers\": [],\n"), std::string::npos);
  EXPECT_NE(text.find("    \"status\": \"unknown\",\n    \"causes\": [],\n    \"contributing\": [],\n"
                      "    \"notes\": []\n  }\n}"),
            std::string::npos);
  EXPECT_EQ(text.front(), '{');
  EXPECT_EQ(text.back(), '}');
}

TEST(ReportJson, NoMountIsNullAndFindingsComeLast) {
  Evidence e;
  Diagnosis d;
  const std::vector<Finding> findings = {{"nearly_full", "only 1 B", "fix: free space"}};
  const std::vector<Finding> none;
  const Result<std::string> json = encode_json(e, d, &findings);
  ASSERT_TRUE(json.ok());
  EXPECT_NE(json.value().find("  \"probe_directory\": \"\",\n  \"mount\": null,\n  \"filesystem\": {\n"),
            std::string::npos)
      << json.value();
  const std::string tail = "    \"notes\": []\n  },\n  \"findings\": [\n    {\n      \"kind\": \"nearly_full\",\n"
                           "      \"summary\": \"only 1 B\",\n      \"remedy\": \"fix: free space\"\n    }\n  ]\n}";
  EXPECT_EQ(json.value().substr(json.value().size() - tail.size()), tail);
  EXPECT_EQ(encode_json(e, d, &none).value(), encode_json(e, d).value().substr(0, encode_json(e, d).value().size() - 2) +
                                                  ",\n  \"findings\": []\n}");
}

TEST(ReportJson, StringEscaping) {
  struct Case {
    std::string process;
    std::string written;
  };
  const Case cases[] = {
      {"a\tb", R"("a\tb")"},
      {"q\"b\\s", R"("q\"b\\s")"},
      {std::string("\x01\x1f", 2), R"("\u0001\u001f")"},
      {"\b\f\n\r", R"("\b\f\n\r")"},
      {std::string("\0", 1), R"("\u0000")"},
      {"/usr/bin\x7f", "\"/usr/bin\x7f\""},
      {"caf\xc3\xa9 \xe2\x80\x94", "\"caf\xc3\xa9 \xe2\x80\x94\""},
  };
  for (const Case& c : cases) {
    Evidence e;
    e.proc_scan.inotify_consumers = {InotifyConsumer{1, c.process, 1, 0}};
    const Result<std::string> json = encode_json(e, Diagnosis{});
    ASSERT_TRUE(json.ok());
    EXPECT_NE(json.value().find("\"process\": " + c.written + ",\n"), std::string::npos) << c.written;
  }
}

TEST(ReportJson, EveryPathFieldRefusesInvalidUtf8) {
  const std::string bad = "/data/\xff\xfe";
  for (int field = 0; field < 4; ++field) {
    Evidence e;
    switch (field) {
      case 0: e.target = bad; break;
      case 1: e.probe_directory = bad; break;
      case 2: e.mount.emplace().mount_point = bad; break;
      case 3: e.mount.emplace().source = bad; break;
    }
    const Result<std::string> json = encode_json(e, Diagnosis{});
    ASSERT_FALSE(json.ok()) << field;
    EXPECT_EQ(json.error(), "path contains invalid UTF-8 characters");
  }
}

TEST(ReportJson, DeletedOpenPathIsLossyAndOtherTextIsGuarded) {
  Evidence e;
  e.proc_scan.deleted_open = {DeletedOpenEntry{1, 2, "/data/\xff\xfe (deleted)", 0, {Holder{1, "p", 3}}}};
  const Result<std::string> json = encode_json(e, Diagnosis{});
  ASSERT_TRUE(json.ok()) << json.error();
  EXPECT_NE(json.value().find("        \"device\": 1,\n        \"inode\": 2,\n"
                              "        \"path\": \"/data/\xef\xbf\xbd\xef\xbf\xbd (deleted)\",\n"),
            std::string::npos)
      << json.value();

  // No producer hands over such text, but none may ever write it.
  for (int field = 0; field < 3; ++field) {
    Evidence bad;
    Diagnosis diagnosis;
    switch (field) {
      case 0: bad.mount.emplace().fs_type = "ext\xff"; break;
      case 1: bad.proc_scan.inotify_consumers = {InotifyConsumer{1, "p\xc3", 1, 0}}; break;
      case 2: diagnosis.notes = {"\xed\xa0\x80"}; break;
    }
    const Result<std::string> refused = encode_json(bad, diagnosis);
    ASSERT_FALSE(refused.ok()) << field;
    EXPECT_EQ(refused.error(), "text contains invalid UTF-8 characters");
  }
}

TEST(ReportJson, LargestNumbersAreWrittenInFull) {
  Evidence e;
  e.filesystem.total_bytes = UINT64_MAX;
  e.create_probe.outcome = ProbeError{Phase::create, ErrnoInfo{INT32_MIN, "UNKNOWN_ERRNO"}};
  const Result<std::string> json = encode_json(e, Diagnosis{});
  ASSERT_TRUE(json.ok());
  EXPECT_NE(json.value().find("\"total_bytes\": 18446744073709551615,"), std::string::npos);
  EXPECT_NE(json.value().find("\"code\": -2147483648,"), std::string::npos);
}

TEST(ReportJson, WrittenInPiecesIsTheSameDocumentOrNothing) {
  Evidence e = full_evidence();
  std::vector<DeletedOpenEntry> files;
  for (std::uint64_t i = 0; i < 3000; ++i) {
    files.push_back(DeletedOpenEntry{1, i, "/data/file-" + std::to_string(i), 4096, {Holder{7, "worker", 3}}});
  }
  e.proc_scan.deleted_open = DeletedOpenFiles(files);
  const Result<std::string> whole = encode_json(e, Diagnosis{});
  ASSERT_TRUE(whole.ok());
  std::vector<std::string> pieces;
  const Result<std::uint64_t> length =
      write_json(e, Diagnosis{}, nullptr, [&](std::string_view piece) { pieces.emplace_back(piece); });
  ASSERT_TRUE(length.ok());
  EXPECT_GT(pieces.size(), 2u);
  std::string joined;
  for (const std::string& piece : pieces) joined += piece;
  EXPECT_EQ(whole.value(), joined);
  EXPECT_EQ(whole.value().size(), length.value());

  // The target comes first, but nothing may be handed on before the refusal.
  e.target = "/data/\xff";
  pieces.clear();
  const Result<std::uint64_t> refused =
      write_json(e, Diagnosis{}, nullptr, [&](std::string_view piece) { pieces.emplace_back(piece); });
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), "path contains invalid UTF-8 characters");
  EXPECT_TRUE(pieces.empty());
}

// A file as one line: device/inode path bytes, then its holders.
std::string file_line(const DeletedOpenFile& file) {
  std::string text = std::to_string(file.device) + "/" + std::to_string(file.inode) + " " +
                     std::string(file.path) + " " + std::to_string(file.allocated_bytes);
  for (const Holder& holder : file.holders) {
    text += " " + std::to_string(holder.pid) + ":" + std::string(holder.process) + ":" + std::to_string(holder.fd);
  }
  return text;
}

TEST(DeletedOpenList, SortedLargestFirstWithEachFilesHoldersInTheirOrder) {
  DeletedOpenFiles::Builder builder;
  const std::uint32_t cat = builder.add_name("cat");
  const std::uint32_t tail = builder.add_name("tail");
  const std::string long_path(70000, 'x');  // longer than a block of paths
  const std::size_t a = builder.add_file(2, 5, "/a", 100);
  const std::size_t b = builder.add_file(1, 9, long_path, 100);
  const std::size_t c = builder.add_file(1, 3, "/c", 300);
  builder.add_file(1, 4, "/d", 100);
  builder.add_holder(b, 10, cat, 3);
  builder.add_holder(a, 11, tail, 4);
  builder.add_holder(b, 12, tail, 5);
  builder.add_holder(c, 13, cat, 6);
  builder.add_holder(b, 14, cat, -1);
  builder.add_holder(a, 15, cat, 7);
  // Enough paths to fill several blocks.
  for (std::uint64_t i = 0; i < 3000; ++i) {
    builder.add_holder(builder.add_file(3, i, "/many/" + std::string(40, 'p') + std::to_string(i), 1), 1, cat, 1);
  }
  const DeletedOpenFiles files = std::move(builder).finish(true);
  ASSERT_EQ(3004u, files.size());
  EXPECT_EQ("1/3 /c 300 13:cat:6", file_line(files[0]));
  EXPECT_EQ("1/4 /d 100", file_line(files[1]));
  EXPECT_EQ("1/9 " + long_path + " 100 10:cat:3 12:tail:5 14:cat:-1", file_line(files[2]));
  EXPECT_EQ("2/5 /a 100 11:tail:4 15:cat:7", file_line(files[3]));
  for (std::uint64_t i = 0; i < 3000; ++i) {
    ASSERT_EQ("3/" + std::to_string(i) + " /many/" + std::string(40, 'p') + std::to_string(i) + " 1 1:cat:1",
              file_line(files[4 + i]));
  }
  const DeletedOpenFiles copy = files;
  EXPECT_EQ(file_line(files[2]), file_line(copy[2]));
}

// ---------------------------------------------------------------------------

}  // namespace
}  // namespace brimful
