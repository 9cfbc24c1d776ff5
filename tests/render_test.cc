#include "render.h"
#include "units.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brimful {
namespace {

// A healthy ext4 directory that is its own probe directory.
Evidence sample_evidence() {
  Evidence evidence;
  evidence.target = "/srv/data";
  evidence.target_exists = true;
  evidence.probe_directory = "/srv/data";
  evidence.mount.emplace();
  evidence.mount->mount_id = 41;
  evidence.mount->mount_point = "/srv";
  evidence.mount->source = "/dev/sda1";
  evidence.mount->fs_type = "ext4";
  evidence.mount->options = {"relatime", "rw"};
  evidence.filesystem.total_bytes = 8ull << 30;
  evidence.filesystem.available_bytes = 2ull << 30;
  evidence.filesystem.total_inodes = 524288;
  evidence.filesystem.free_inodes = 123456;
  evidence.filesystem.inode_accounting_supported = true;
  evidence.create_probe.outcome = ProbeSuccess{};
  evidence.inotify_probe.init = ProbeSuccess{};
  evidence.inotify_probe.add_watch = ProbeSuccess{};
  evidence.inotify_limits = {8192, 128, 16384};
  return evidence;
}

Diagnosis diagnosis_of(Status status, std::vector<CauseKind> causes = {}) {
  Diagnosis diagnosis;
  diagnosis.status = status;
  diagnosis.causes = std::move(causes);
  return diagnosis;
}

Diagnosis healthy() { return diagnosis_of(Status::no_supported_failure); }

ProbeOutcome failure(Phase phase, std::int32_t code, const char* name) {
  return ProbeError{phase, ErrnoInfo{code, name}};
}

const std::string kHeader =
    "Target: /srv/data\n"
    "Filesystem: /dev/sda1\n"
    "Mount: /srv\n"
    "Type: ext4\n";

std::string checks(const std::string& file_probe = "OK", const std::string& space = "2.0 GiB",
                   const std::string& inodes = "123456", const std::string& init = "OK",
                   const std::string& watch = "OK", const std::string& read_only = "no",
                   const std::string& ro_option = "no") {
  return "\nChecks:\n"
         "  file probe       " + file_probe + "\n"
         "  available space  " + space + "\n"
         "  free inodes      " + inodes + "\n"
         "  inotify init     " + init + "\n"
         "  inotify watch    " + watch + "\n"
         "  read-only        " + read_only + "\n"
         "  mount option ro  " + ro_option + "\n";
}

const std::string kOkVerdict = "\nOK: no supported failure detected";
const std::string kHealthyReport = kHeader + checks() + kOkVerdict;

std::string inotify_usage(const std::string& watches, const std::string& instances,
                          const std::string& assessment) {
  return "\n\nInotify usage (current UID):\n"
         "  watches                " + watches + "\n"
         "  instances              " + instances + "\n"
         "  assessment             " + assessment;
}

const std::string kHealthyUsage = inotify_usage(
    "0 / 8,192 (0%; 8,192 available)", "0 / 128 (0%; 128 available)",
    "new instance and watch created successfully");

const std::string kConsumerHeader =
    "\n\nTop inotify consumers:\n"
    "  PID       PROCESS                  INSTANCES  WATCHES";

InotifyConsumer consumer(std::uint32_t pid, std::string name, std::uint64_t instances,
                         std::uint64_t watches) {
  return InotifyConsumer{pid, std::move(name), instances, watches};
}

DeletedOpenEntry deleted(std::string path, std::uint64_t bytes, std::vector<Holder> holders) {
  return DeletedOpenEntry{2049, 77, std::move(path), bytes, std::move(holders)};
}

// ---------------------------------------------------------------------------

// The report of sample_evidence() after one change, with a healthy verdict.
struct EvidenceCase {
  const char* name;
  std::function<void(Evidence&)> change;
  std::string header;
  std::string checks;
};

void PrintTo(const EvidenceCase& c, std::ostream* os) { *os << c.name; }

class RenderEvidenceTest : public ::testing::TestWithParam<EvidenceCase> {};

TEST_P(RenderEvidenceTest, WholeReport) {
  Evidence evidence = sample_evidence();
  GetParam().change(evidence);
  EXPECT_EQ(GetParam().header + GetParam().checks + kOkVerdict,
            render_text(evidence, healthy(), false));
}

std::string case_name(const ::testing::TestParamInfo<EvidenceCase>& param_info) {
  return param_info.param.name;
}

INSTANTIATE_TEST_SUITE_P(
    RenderHeader, RenderEvidenceTest,
    ::testing::Values(
        EvidenceCase{"same_directory", [](Evidence&) {}, kHeader, checks()},
        EvidenceCase{"probe_directory_with_trailing_slash",
                     [](Evidence& e) { e.probe_directory = "/srv/data/"; }, kHeader, checks()},
        EvidenceCase{"probe_directory_with_dot_and_double_slash",
                     [](Evidence& e) { e.probe_directory = "/srv/./data//"; }, kHeader, checks()},
        EvidenceCase{"existing_file_target", [](Evidence& e) { e.target = "/srv/data/app.log"; },
                     "Target: /srv/data/app.log\n"
                     "Probe directory: /srv/data\n"
                     "Filesystem: /dev/sda1\n"
                     "Mount: /srv\n"
                     "Type: ext4\n",
                     checks()},
        EvidenceCase{"missing_target",
                     [](Evidence& e) {
                       e.target = "/srv/data/new/file";
                       e.target_exists = false;
                     },
                     "Target: /srv/data/new/file\n"
                     "Target exists: no (probing nearest existing parent)\n"
                     "Probe directory: /srv/data\n"
                     "Filesystem: /dev/sda1\n"
                     "Mount: /srv\n"
                     "Type: ext4\n",
                     checks()},
        EvidenceCase{"absent_source", [](Evidence& e) { e.mount->source.reset(); },
                     "Target: /srv/data\n"
                     "Filesystem: unknown\n"
                     "Mount: /srv\n"
                     "Type: ext4\n",
                     checks()},
        EvidenceCase{"no_mount_in_a_chroot",
                     [](Evidence& e) {
                       e.mount.reset();
                       e.statfs_fs_type = "tmpfs";
                     },
                     "Target: /srv/data\n"
                     "Filesystem: unknown\n"
                     "Mount: unknown (not in this process's mount table)\n"
                     "Type: tmpfs\n",
                     checks("OK", "2.0 GiB", "123456", "OK", "OK", "no", "unknown")}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    RenderCheck, RenderEvidenceTest,
    ::testing::Values(
        EvidenceCase{"no_probe",
                     [](Evidence& e) {
                       e.create_probe.outcome = ProbeNotRun{};
                       e.inotify_probe.init = ProbeNotRun{};
                       e.inotify_probe.add_watch = ProbeNotRun{};
                     },
                     kHeader, checks("NOT RUN", "2.0 GiB", "123456", "NOT RUN", "NOT RUN")},
        EvidenceCase{"probe_errors_name_the_step",
                     [](Evidence& e) {
                       e.create_probe.outcome = failure(Phase::write, 28, "ENOSPC");
                       e.inotify_probe.init = failure(Phase::init, 24, "EMFILE");
                       e.inotify_probe.add_watch = failure(Phase::add_watch, 28, "ENOSPC");
                     },
                     kHeader,
                     checks("ENOSPC during write", "2.0 GiB", "123456",
                            "EMFILE during inotify_init", "ENOSPC during inotify_add_watch")},
        EvidenceCase{"unaccounted_inodes",
                     [](Evidence& e) {
                       e.filesystem.free_inodes = 0;
                       e.filesystem.inode_accounting_supported = false;
                     },
                     kHeader, checks("OK", "2.0 GiB", "0 (not authoritative for this filesystem)")},
        EvidenceCase{"small_space_and_large_inode_count_ungrouped",
                     [](Evidence& e) {
                       e.filesystem.available_bytes = 1023;
                       e.filesystem.free_inodes = 1234567;
                     },
                     kHeader, checks("OK", "1023 B", "1234567")},
        EvidenceCase{"read_only_mount",
                     [](Evidence& e) {
                       e.filesystem.read_only = true;
                       e.mount->options = {"relatime", "ro"};
                     },
                     kHeader, checks("OK", "2.0 GiB", "123456", "OK", "OK", "yes", "yes")},
        EvidenceCase{"ro_option_matches_whole_entry_only",
                     [](Evidence& e) { e.mount->options = {"errors=remount-ro", "rop"}; }, kHeader,
                     checks()}),
    case_name);

TEST(RenderChecks, EveryPhaseHasItsText) {
  const std::vector<std::pair<Phase, std::string>> phases = {
      {Phase::open_directory, "open_directory"}, {Phase::create, "create"},
      {Phase::write, "write"}, {Phase::fsync, "fsync"}, {Phase::close, "close"},
      {Phase::unlink, "unlink"}, {Phase::init, "inotify_init"},
      {Phase::add_watch, "inotify_add_watch"}};
  for (const auto& [phase, text] : phases) {
    Evidence evidence = sample_evidence();
    evidence.create_probe.outcome = failure(phase, 5, "EIO");
    EXPECT_EQ(kHeader + checks("EIO during " + text) + kOkVerdict,
              render_text(evidence, healthy(), false));
  }
}

// ---------------------------------------------------------------------------

TEST(RenderVerdict, StatusesCausesAndContributing) {
  Diagnosis contributing = diagnosis_of(Status::unknown);
  contributing.contributing = {{"deleted_open_files", 1792, "space held"},
                               {"deleted_open_files", 3ull << 30, "more space"}};
  const std::vector<std::pair<Diagnosis, std::string>> cases = {
      {diagnosis_of(Status::unknown), "\nUNKNOWN"},
      {diagnosis_of(Status::confirmed, {CauseKind::block_exhaustion, CauseKind::inode_exhaustion}),
       "\nCONFIRMED: filesystem space exhausted\n\nCONFIRMED: inode exhaustion"},
      {diagnosis_of(Status::confirmed, {CauseKind::read_only_filesystem}),
       "\nCONFIRMED: filesystem is read-only"},
      // Either inotify cause brings the usage section without --verbose.
      {diagnosis_of(Status::confirmed, {CauseKind::inotify_exhaustion}),
       "\nCONFIRMED: inotify resource exhaustion" + kHealthyUsage},
      {diagnosis_of(Status::confirmed, {CauseKind::inotify_instance_exhaustion}),
       "\nCONFIRMED: inotify instance limit exhausted" + kHealthyUsage},
      {contributing,
       "\nUNKNOWN\n"
       "\nCONTRIBUTING: 1.8 KiB is held by deleted-open files\n"
       "\nCONTRIBUTING: 3.0 GiB is held by deleted-open files"},
  };
  for (const auto& [diagnosis, verdict] : cases) {
    EXPECT_EQ(kHeader + checks() + verdict, render_text(sample_evidence(), diagnosis, false));
  }
}

// ---------------------------------------------------------------------------

Diagnosis block_exhaustion_with(std::uint64_t contributing_bytes) {
  Diagnosis diagnosis = diagnosis_of(Status::confirmed, {CauseKind::block_exhaustion});
  diagnosis.contributing = {{"deleted_open_files", contributing_bytes, "space held"}};
  return diagnosis;
}

const std::string kBlockVerdict = "\nCONFIRMED: filesystem space exhausted\n";

TEST(RenderFindings, FollowTheVerdictOneBlockEach) {
  const Evidence evidence = sample_evidence();
  Diagnosis diagnosis = diagnosis_of(Status::unknown);
  diagnosis.notes = {"a note"};
  const std::vector<Finding> none;
  const std::vector<Finding> two = {{"a", "first \xff summary", "fix: do this"}, {"b", "second", "check: that"}};
  const std::string verdict = kHeader + checks() + "\nUNKNOWN\n";
  EXPECT_EQ(render_text(evidence, diagnosis, false, &none), verdict + "\nFindings: none\n\nNotes:\n  - a note");
  EXPECT_EQ(render_text(evidence, diagnosis, false, &two),
            verdict +
                "\nFindings:\n"
                "  - first \xEF\xBF\xBD summary\n"
                "    fix: do this\n"
                "  - second\n"
                "    check: that\n"
                "\nNotes:\n  - a note");
}

TEST(RenderDeletedOpen, EntriesByHolderCount) {
  Evidence evidence = sample_evidence();
  evidence.proc_scan.deleted_open = {
      deleted("/srv/data/app.log (deleted)", 2ull << 30, {{812, "daemon", 4}}),
      deleted("/srv/data/cache.db (deleted)", 1280,
              {{900, "worker", 7}, {901, "worker", 7}, {902, "helper", -1}}),
      deleted("/srv/data/\xC3(\xFF (deleted)", 512, {})};
  EXPECT_EQ(kHeader + checks() + kBlockVerdict +
                "\nCONTRIBUTING: 2.0 GiB is held by deleted-open files\n"
                "\nDeleted-open files:\n"
                "  daemon PID 812 FD 4\n"
                "    /srv/data/app.log (deleted)\n"
                "    allocated: 2.0 GiB\n"
                "  worker PID 900 FD 7\n"
                "    /srv/data/cache.db (deleted)\n"
                "    allocated: 1.2 KiB\n"
                "    holders: 3\n"
                "    /srv/data/\uFFFD(\uFFFD (deleted)\n"
                "    allocated: 512 B",
            render_text(evidence, block_exhaustion_with(2ull << 30), false));
}

TEST(RenderDeletedOpen, HiddenWithoutContributingUnlessVerbose) {
  Evidence evidence = sample_evidence();
  evidence.proc_scan.deleted_open = {deleted("/srv/data/a (deleted)", 4096, {{5, "sh", 3}})};
  EXPECT_EQ(kHealthyReport, render_text(evidence, healthy(), false));
  EXPECT_EQ(kHealthyReport +
                "\n\nDeleted-open files:\n"
                "  sh PID 5 FD 3\n"
                "    /srv/data/a (deleted)\n"
                "    allocated: 4.0 KiB" +
                kHealthyUsage,
            render_text(evidence, healthy(), true));
}

std::string twelve_entries_report(bool verbose) {
  std::string report = kHeader + checks() + kBlockVerdict +
                       "\nCONTRIBUTING: 12.0 KiB is held by deleted-open files\n"
                       "\nDeleted-open files:";
  for (int i = 1; i <= (verbose ? 12 : 10); ++i) {
    const std::string n = std::to_string(i);
    report += "\n  job PID " + n + " FD 3\n    /srv/data/f" + n + "\n    allocated: 1.0 KiB";
  }
  if (verbose) {
    report += kHealthyUsage;
  } else {
    report += "\n  \u2026 2 more; use --verbose";
  }
  return report;
}

TEST(RenderDeletedOpen, TenEntriesUnlessVerbose) {
  Evidence evidence = sample_evidence();
  std::vector<DeletedOpenEntry> files;
  for (std::uint32_t i = 1; i <= 12; ++i) {
    files.push_back(deleted("/srv/data/f" + std::to_string(i), 1024, {{i, "job", 3}}));
  }
  evidence.proc_scan.deleted_open = DeletedOpenFiles(files);
  EXPECT_EQ(twelve_entries_report(false),
            render_text(evidence, block_exhaustion_with(12 * 1024), false));
  EXPECT_EQ(twelve_entries_report(true),
            render_text(evidence, block_exhaustion_with(12 * 1024), true));
}

// ---------------------------------------------------------------------------

TEST(RenderInotifyUsage, TwelveConsumersShowTenRowsButCountAll) {
  Evidence evidence = sample_evidence();
  for (std::uint32_t pid = 101; pid <= 112; ++pid) {
    evidence.proc_scan.inotify_consumers.push_back(consumer(pid, "watcher", 1, 300));
  }
  const auto report_with_rows = [](int rows) {
    std::string report =
        kHeader + checks() + "\nCONFIRMED: inotify resource exhaustion" +
        inotify_usage("3,600 / 8,192 (43.9%; 4,592 available)", "12 / 128 (9.4%; 116 available)",
                      "new instance and watch created successfully") +
        kConsumerHeader;
    for (int pid = 101; pid < 101 + rows; ++pid) {
      report += "\n  " + std::to_string(pid) + "       watcher                  1          300";
    }
    return report;
  };
  const Diagnosis diagnosis = diagnosis_of(Status::confirmed, {CauseKind::inotify_exhaustion});
  EXPECT_EQ(report_with_rows(10), render_text(evidence, diagnosis, false));
  EXPECT_EQ(report_with_rows(12), render_text(evidence, diagnosis, true));
}

TEST(RenderInotifyUsage, WideValuesPushTheRowRight) {
  Evidence evidence = sample_evidence();
  evidence.proc_scan.inotify_consumers = {
      consumer(7, "a-thirty-character-process-nam", 12345678901, 5),
      consumer(4294967295, "\u0434\u0435\u043c\u043e\u043d-\u00e9\u20ac", 2, 40),
  };
  evidence.inotify_limits.max_user_watches.reset();
  evidence.inotify_limits.max_user_instances.reset();
  EXPECT_EQ(kHealthyReport +
                inotify_usage("45 observed; limit unavailable",
                              "12,345,678,903 observed; limit unavailable",
                              "new instance and watch created successfully") +
                kConsumerHeader +
                "\n  7         a-thirty-character-process-nam 12345678901 5"
                "\n  4294967295 \u0434\u0435\u043c\u043e\u043d-\u00e9\u20ac"
                "                 2          40",
            render_text(evidence, healthy(), true));
}

TEST(RenderInotifyUsage, SumsSaturate) {
  Evidence evidence = sample_evidence();
  evidence.proc_scan.inotify_consumers = {consumer(1, "a", UINT64_MAX, 1ull << 63),
                                          consumer(2, "b", 1, 1ull << 63)};
  evidence.inotify_limits.max_user_watches.reset();
  evidence.inotify_limits.max_user_instances = 1;
  EXPECT_EQ(kHealthyReport +
                inotify_usage("18,446,744,073,709,551,615 observed; limit unavailable",
                              "18,446,744,073,709,551,615 / 1 "
                              "(1844674407370955161600.0%; 0 available)",
                              "new instance and watch created successfully") +
                kConsumerHeader +
                "\n  1         a                        18446744073709551615 9223372036854775808"
                "\n  2         b                        1          9223372036854775808",
            render_text(evidence, healthy(), true));
}

TEST(RenderInotifyUsage, UsageTextForms) {
  struct Case {
    std::uint64_t used;
    std::optional<std::uint64_t> limit;
    bool complete;
    std::string text;
  };
  const std::vector<Case> cases = {
      {4096, 8192, true, "4,096 / 8,192 (50.0%; 4,096 available)"},
      {1, 16, true, "1 / 16 (6.2%; 15 available)"},
      {3, 16, true, "3 / 16 (18.8%; 13 available)"},
      {1, 1000000, true, "1 / 1,000,000 (<0.1%; 999,999 available)"},
      {1, 1000, true, "1 / 1,000 (0.1%; 999 available)"},
      {0, 8192, true, "0 / 8,192 (0%; 8,192 available)"},
      {9000, 8192, true, "9,000 / 8,192 (109.9%; 0 available)"},
      {1500, std::nullopt, true, "1,500 observed; limit unavailable"},
      {1500, std::nullopt, false, "1,500 observed; limit unavailable"},
      {1500, 8192, false, ">= 1,500 / 8,192 (lower bound; process scan incomplete)"},
      {1500, 0, false, ">= 1,500 / 0 (lower bound; process scan incomplete)"},
      {1500, 0, true, "1,500 / 0"},
      {0, 0, true, "0 / 0"},
  };
  for (const Case& c : cases) {
    Evidence evidence = sample_evidence();
    evidence.proc_scan.inotify_consumers = {consumer(42, "sync", 1, c.used)};
    evidence.proc_scan.complete = c.complete;
    evidence.inotify_limits.max_user_watches = c.limit;
    evidence.inotify_limits.max_user_instances.reset();
    std::string expected =
        kHealthyReport +
        inotify_usage(c.text, "1 observed; limit unavailable",
                      "new instance and watch created successfully") +
        kConsumerHeader + "\n  42        sync                     1          " +
        std::to_string(c.used);
    if (!c.complete) {
      expected += "\n\nSome process information was unavailable due to permissions or process exit.";
    }
    EXPECT_EQ(expected, render_text(evidence, healthy(), true)) << c.text;
  }
}

TEST(RenderInotifyUsage, AssessmentTexts) {
  struct Case {
    ProbeOutcome init;
    ProbeOutcome add_watch;
    std::string init_text;
    std::string watch_text;
    std::string assessment;
  };
  const std::vector<Case> cases = {
      {ProbeSuccess{}, failure(Phase::add_watch, 28, "ENOSPC"), "OK",
       "ENOSPC during inotify_add_watch", "watch creation failed: inotify resources exhausted"},
      {failure(Phase::init, 24, "EMFILE"), ProbeNotRun{}, "EMFILE during inotify_init", "NOT RUN",
       "instance creation failed with EMFILE; diagnosis requires usage evidence"},
      {ProbeSuccess{}, ProbeSuccess{}, "OK", "OK", "new instance and watch created successfully"},
      {ProbeNotRun{}, ProbeNotRun{}, "NOT RUN", "NOT RUN",
       "probe did not establish available inotify capacity"},
      {failure(Phase::init, 12, "ENOMEM"), ProbeNotRun{}, "ENOMEM during inotify_init", "NOT RUN",
       "probe did not establish available inotify capacity"},
      {ProbeSuccess{}, failure(Phase::add_watch, 24, "EMFILE"), "OK",
       "EMFILE during inotify_add_watch", "probe did not establish available inotify capacity"},
  };
  for (const Case& c : cases) {
    Evidence evidence = sample_evidence();
    evidence.inotify_probe = InotifyProbe{c.init, c.add_watch};
    EXPECT_EQ(kHeader + checks("OK", "2.0 GiB", "123456", c.init_text, c.watch_text) +
                  kOkVerdict +
                  inotify_usage("0 / 8,192 (0%; 8,192 available)", "0 / 128 (0%; 128 available)",
                                c.assessment),
              render_text(evidence, healthy(), true));
  }
}

// ---------------------------------------------------------------------------

TEST(RenderNotes, ListedThenIncompleteScanLine) {
  Diagnosis diagnosis = diagnosis_of(Status::unknown);
  diagnosis.notes = {"create probe failed with EIO during fsync", "scan incomplete"};
  Evidence evidence = sample_evidence();
  evidence.proc_scan.complete = false;
  EXPECT_EQ(kHeader + checks() +
                "\nUNKNOWN\n"
                "\nNotes:\n"
                "  - create probe failed with EIO during fsync\n"
                "  - scan incomplete\n"
                "\nSome process information was unavailable due to permissions or process exit.",
            render_text(evidence, diagnosis, false));
}

TEST(RenderNotes, OnlyTheEndOfTheWholeTextIsTrimmed) {
  Diagnosis diagnosis = healthy();
  diagnosis.notes = {"kept inside\t ", "trailing \u00a0\u2003\u3000\u2029 "};
  EXPECT_EQ(kHealthyReport +
                "\n\nNotes:\n"
                "  - kept inside\\t \n"
                "  - trailing",
            render_text(sample_evidence(), diagnosis, false));
}

// ---------------------------------------------------------------------------

TEST(RenderPathDisplay, InvalidSequencesBecomeOneReplacementEach) {
  const std::string r = "\uFFFD";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/x\xE2\x82\xAC", "/x\u20ac"},
      {"/x\xC3", "/x" + r},
      {"/x\xE2\x82", "/x" + r},
      {"/x\xF0\x9F\x98", "/x" + r},
      {"/x\xE2\x82/y", "/x" + r + "/y"},
      {"/x\xF0\x9F\x98\xE2\x82", "/x" + r + r},
      {"/x\xC0\xAF", "/x" + r + r},
      {"/x\xE0\x80\xAF", "/x" + r + r + r},
      {"/x\xF0\x80\x80\xAF", "/x" + r + r + r + r},
      {"/x\xED\xA0\x80", "/x" + r + r + r},
      {"/x\xF4\x90\x80\x80", "/x" + r + r + r + r},
      {"/x\x80\xBF", "/x" + r + r},
      {"/x\xF5\xF8\xFE\xFF", "/x" + r + r + r + r},
      {"/x\xF8\x88\x80\x80\x80", "/x" + r + r + r + r + r},
  };
  for (const auto& [bytes, shown] : cases) {
    Evidence evidence = sample_evidence();
    evidence.target = bytes;
    evidence.probe_directory = bytes;
    evidence.mount->mount_point = bytes;
    EXPECT_EQ("Target: " + shown +
                  "\n"
                  "Filesystem: /dev/sda1\n"
                  "Mount: " + shown + "\nType: ext4\n" + checks() + kOkVerdict,
              render_text(evidence, healthy(), false))
        << shown;
  }
}

// ---------------------------------------------------------------------------

TEST(RenderHumanSize, UnitsAndRounding) {
  const std::vector<std::pair<std::uint64_t, std::string>> cases = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KiB"},
      {1280, "1.2 KiB"},  // 1.25: tie goes to the even digit
      {1536, "1.5 KiB"},
      {1792, "1.8 KiB"},  // 1.75: tie goes to the even digit
      {1048524, "1023.9 KiB"},
      {1048575, "1024.0 KiB"},  // rounding does not advance the unit
      {1048576, "1.0 MiB"},
      {1310720, "1.2 MiB"},
      {1ull << 30, "1.0 GiB"},
      {1ull << 40, "1.0 TiB"},
      {(1ull << 40) * 1023 + (1ull << 40) / 2, "1023.5 TiB"},
      {1ull << 51, "2048.0 TiB"},
      {UINT64_MAX, "16777216.0 TiB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(text, human_size(bytes)) << bytes;
}

TEST(RenderGroupedNumber, CommasEveryThreeDigits) {
  const std::vector<std::pair<std::uint64_t, std::string>> cases = {
      {0, "0"},
      {7, "7"},
      {999, "999"},
      {1000, "1,000"},
      {12345, "12,345"},
      {123456, "123,456"},
      {1234567, "1,234,567"},
      {UINT64_MAX, "18,446,744,073,709,551,615"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(text, grouped_number(value)) << value;
}

// One formatter serves the usage lines ("0%") and the findings ("0.0%"); the
// rest of its text must not depend on which.
TEST(RenderPercent, ZeroStyleSliverAndEmptyWhole) {
  struct Case {
    std::uint64_t part, whole;
    const char* bare;
    const char* one_decimal;
  };
  const Case cases[] = {
      {0, 8192, "0%", "0.0%"},       {1, 1u << 20, "<0.1%", "<0.1%"}, {1, 1000, "0.1%", "0.1%"},
      {3600, 8192, "43.9%", "43.9%"}, {5, 0, "<0.1%", "<0.1%"},        {UINT64_MAX, 1, "1844674407370955161600.0%",
                                                                          "1844674407370955161600.0%"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.bare, percent_text(c.part, c.whole, ZeroPercent::bare)) << c.part << "/" << c.whole;
    EXPECT_EQ(c.one_decimal, percent_text(c.part, c.whole)) << c.part << "/" << c.whole;
  }
}

// The threshold test is exact at the boundary and holds where part * 100
// would overflow.
TEST(RenderPercent, AtLeastPercentExactWithoutOverflow) {
  struct Case {
    std::uint64_t part, whole, percent;
    bool expected;
  };
  const Case cases[] = {
      {90, 100, 90, true},
      {89, 100, 90, false},
      {9, 10, 90, true},
      {8, 10, 90, false},
      {2, 101, 2, false},
      {3, 101, 2, true},
      {0, 0, 2, true},
      {0, 1, 2, false},
      {UINT64_MAX, UINT64_MAX, 100, true},
      {UINT64_MAX / 10 * 9 + 4, UINT64_MAX, 90, false},
      {UINT64_MAX / 10 * 9 + 5, UINT64_MAX, 90, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, at_least_percent(c.part, c.whole, c.percent)) << c.part << "/" << c.whole << " " << c.percent;
  }
}

}  // namespace
}  // namespace brimful
