// The writer and the reader in-process, with a stand-in for the indexed
// engine behind kel's seam: indexed files kept in memory with the texts
// v5_info would return, and a log of what the reader asked to be made and
// written. It reaches what the real engine does not do on demand: a file
// that breaks while it is read, a table that cannot be read, a layout
// beyond the format, makes that fail; and allocation failures of kel's own, with the engine's
// allocations out of the count. Plain files that fail or shrink while they
// are copied go through the writer's read hook.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive_model.h"
#include "archive/indexed_io.h"
#include "archive/kel_script.h"
#include "archive/run_state.h"
#include "common/faults.h"
#include "common/row_script.h"
#include "support/alloc.h"

namespace kel::archive {
namespace {

struct FakeFile : test::ModelIndexed {
  int fail_after = -1;              // next() fails with E_BROKEN (code 9) after this many records
  int32_t broken_info = INT32_MIN;  // info() of this code fails with E_BROKEN (code 4)
  size_t announced = SIZE_MAX;      // the record count info() gives, when not the records'
};

struct Fake {
  std::map<std::string, FakeFile> files;  // what open_input finds
  std::string to_fifo;                    // open_input makes it a FIFO: replaced after kel's stat
  std::vector<std::string> calls, written;
  int make_failures = 0;      // makes that fail with E_SYSERR/ENOENT first
  bool remove_fails = false;  // removes fail with E_SYSERR/EACCES
  const FakeFile *open = nullptr;
  size_t next = 0;
} g;

int fail(int16_t code, int16_t secondary = 0) {
  *fs_error_code() = code;
  *fs_error_secondary() = secondary;
  return 0;
}

// Logs a call; a make fails while make_failures lasts.
int log(const std::string &call, bool make = false) {
  g.calls.push_back(call);
  if (!make || g.make_failures == 0) return 1;
  --g.make_failures;
  errno = ENOENT;
  return fail(E_SYSERR);
}

const IndexedOps kFakeOps = {
    [](const char *path) -> void * {
      if (g.to_fifo == path) unlink(path), mkfifo(path, 0644);
      auto it = g.files.find(path);
      if (it == g.files.end()) return fail(E_FILE_TYPE), nullptr;
      g.open = &it->second;
      return &g;
    },
    [](void *, int32_t code, char *out) -> int {
      if (g.open == nullptr) return fail(E_PARAM);  // a file being restored
      const FakeFile &f = *g.open;
      if (code == f.broken_info) return fail(E_BROKEN, 4);
      if (code == kInfoRecordCount)
        return sprintf(out, "%010zu", f.announced != SIZE_MAX ? f.announced : f.records.size()), 1;
      if (code == kInfoTranslationTable) return fail(E_UNSUPPORTED);
      const std::string *t = code == kInfoRecordParameters     ? &f.record_parameters
                             : code == kInfoPhysicalParameters ? &f.physical_parameters
                             : code == kInfoComment            ? &f.comment
                             : code >= 0 && code < static_cast<int32_t>(f.keys.size())
                                 ? &f.keys[static_cast<size_t>(code)]
                                 : nullptr;
      return t ? (strcpy(out, t->c_str()), 1) : fail(E_PARAM);
    },
    [](void *, char *) { return (g.next = 0, g.open->records.empty()) ? fail(E_NOT_FOUND) : 1; },
    [](void *, char *record) -> uint32_t {
      if (g.open->fail_after >= 0 && g.next == static_cast<size_t>(g.open->fail_after))
        return fail(E_BROKEN, 9);
      if (g.next >= g.open->records.size()) return fail(E_NOT_FOUND);
      const std::string &r = g.open->records[g.next++];
      memcpy(record, r.data(), r.size());
      return static_cast<uint32_t>(r.size());
    },
    [](void *) { return log("close"); },
    [](const char *name, const char *, const char *, const char *, const char *, const char *) {
      return log("make(" + std::string(name) + ")", true);
    },
    nullptr,  // the make forms of old-style members: their restores run end to end
    nullptr,
    [](const char *name) -> void * { return log("open(" + std::string(name) + ")"), &g; },
    [](void *, const char *record, uint32_t length) {
      g.written.emplace_back(record, length);
      return 1;
    },
    [](const char *name) {
      log("remove(" + std::string(name) + ")");
      return g.remove_fails ? (errno = EACCES, fail(E_SYSERR)) : 1;
    },
    nullptr,
    nullptr,
    nullptr};

class StandIn : public testing::Test {
 protected:
  StandIn() : dir_(true) {
    umask(0);
    indexed_set_ops(&kFakeOps);
    g = Fake{};
  }
  ~StandIn() override { indexed_set_ops(nullptr); }

  // A fresh run writing the archive "arch".
  void start_output() {
    run_.emplace();
    run_->transfer.mode = kRunOutput;
    strcpy(run_->transfer.archive_path, "arch");
    run_->transfer.archive_fd = open("arch", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(Status::kOk, volume_begin(run_->volume));
    EXPECT_EQ(Status::kOk, write_volume_header(run_->volume));
  }
  // The file's result; the run must go on.
  int archive(const char *path) {
    int result = -1;
    EXPECT_EQ(Status::kOk, archive_file(run_->writer, path, &result)) << path;
    return result;
  }
  // Ends the archive; it must be the model's archive of `members`.
  void expect_archive(const std::string &members) {
    ASSERT_EQ(Status::kOk, write_trailer(run_->writer));
    ASSERT_EQ(Status::kOk, finish_archive_output(run_->volume));
    close(run_->transfer.archive_fd);
    EXPECT_EQ(test::masked(test::model_archive(members)), test::masked(test::read_file("arch")));
  }

  // Writes the archive, starts a run on it and reads its volume header.
  Status start_input(const std::string &members) {
    test::write_file("arch", test::model_archive(members));
    run_.emplace();
    TransferState &t = run_->transfer;
    t.mode = kRunInput;
    t.keep_owner_off = 1;
    strcpy(t.archive_path, "arch");
    t.archive_fd = open("arch", O_RDONLY);
    KEL_RETURN_IF_FATAL(volume_begin(run_->volume));
    return read_volume_header(run_->volume, false);
  }
  // Extracts every member up to the trailer or a fatal stop.
  Status extract_all() {
    for (bool trailer = false; !trailer;)
      KEL_RETURN_IF_FATAL(extract_member(run_->reader, nullptr, 0, 0, &trailer));
    return Status::kOk;
  }

  test::TempDir dir_;
  std::optional<RunState> run_;
};

// Plain files read through a function that fails or ends early.
int g_reads_before_trouble = 0;
bool g_fail_with_error = false;
bool g_grow = false;  // the file grows by a byte at the first read
long troubled_read(int fd, void *buffer, unsigned long count) {
  if (std::exchange(g_grow, false)) std::ofstream("f", std::ios::app) << 'g';
  if (g_reads_before_trouble-- > 0) return ::read(fd, buffer, count < 1000 ? count : 1000);
  if (g_fail_with_error) return errno = EIO, -1;
  return 0;
}

// Files that cannot be carried whole: what each run wrote into the archive
// is the model's, what it said is the golden file's.
TEST_F(StandIn, WriterFilesThatCannotBeCarriedWhole) {
  start_output();
  test::StderrCapture err;
  // A plain file that cannot be read at all is not archived; one whose
  // reads fail or end early keeps its announced size: the first block and
  // 1000 bytes as read, then zeros; one that grows is cut at that size.
  std::string data(5000, 'd'), padded = data.substr(0, 1512) + std::string(5000 - 1512, '\0');
  test::write_file("f", data);
  const FileRead plain_read = run_->writer.file_read;
  run_->writer.file_read = troubled_read;
  for (auto [reads, error] : {std::pair{0, true}, {2, true}, {2, false}}) {
    g_reads_before_trouble = reads;
    g_fail_with_error = error;
    EXPECT_EQ(1, archive("f"));
  }
  g_reads_before_trouble = 10, g_grow = true;
  EXPECT_EQ(1, archive("f"));
  run_->writer.file_read = plain_read;
  // One replaced by a FIFO after its status is taken is refused at once.
  test::write_file(g.to_fifo = "p", "x");
  EXPECT_EQ(1, archive("p"));
  // Indexed files: a layout beyond the format, a translation table that
  // cannot be read (not the same as none), a file that breaks after two
  // records (reported, carried as far as it went), and files that gain or
  // lose records while they are read (the member holds the announced
  // count); each is said and counts as not archived.
  const char *names[] = {"huge", "unreadable", "broken", "grown", "shrunk", "dups"};
  for (const char *name : names) {
    g.files[name] = {test::sample_indexed()};
    test::write_file(name, "x");
  }
  g.files["huge"].record_parameters = "0000040000,0000000008,002";
  g.files["broken"].fail_after = 2;
  g.files["unreadable"].broken_info = kInfoTranslationTable;
  g.files["grown"].announced = 2;
  g.files["shrunk"].announced = g.files["dups"].announced = 4;
  g.files["dups"].keys[0] = "01,1,004,0000000000";  // key 0 allows duplicates
  for (const char *name : names) EXPECT_EQ(1, archive(name)) << name;
  // One that lost records is filled up with its last record; with
  // duplicates of key 0 allowed the copies would be restored as records,
  // so its member stays short.
  test::ModelIndexed two = test::sample_indexed(), shrunk = two, dups = two;
  two.records.resize(2);
  shrunk.records.push_back(shrunk.records.back());
  dups.keys[0] = g.files["dups"].keys[0];
  const std::string f = test::model_header_of(".", "f", "", 5000, 'T') + padded;
  const std::string filled =
      test::model_header_of(".", "shrunk", "", 48, 'V') + test::model_v6_data(shrunk);
  expect_archive(f + f + test::model_header_of(".", "f", "", 5000, 'T') + data +
                 test::model_header_of(".", "broken", "", 36, 'V') + test::model_v6_data(two) +
                 test::model_header_of(".", "grown", "", 24, 'V') + test::model_v6_data(two) +
                 filled + test::model_header_of(".", "dups", "", 48, 'V') +
                 test::model_v6_data(dups));
  // So the members after it are read.
  ASSERT_EQ(Status::kOk, start_input(filled + test::model_plain("after", "a")));
  EXPECT_EQ(Status::kOk, extract_all());
  EXPECT_EQ("a", test::read_file("after"));
  EXPECT_TRUE(test::matches_golden("archive/writer_troubles.txt", err.text()));
}

// Each allocation of kel's own failing in turn while an indexed file is
// archived, and then restored: the run ends cleanly (the writer goes on
// without the member, the reader stops and removes the partial file), no
// block is left behind, and each failure's report and the engine calls it
// made are the golden file's.
TEST_F(StandIn, AllocationFailures) {
  g.files["cust"] = {test::sample_indexed()};
  test::write_file("cust", "x");
  start_output();
  *fs_error_code() = 0;  // the error block lives on once it is made
  // Each run's error output and engine calls; a failed one's go into the
  // script.
  std::string said, script;
  auto captured = [&](const std::function<bool()> &op) {
    g.calls.clear();
    test::StderrCapture err;
    const bool ok = op();
    said = test::shown(err.text(), "  ");
    for (const std::string &c : g.calls) said += "  call " + c + "\n";
    return ok;
  };
  auto report = [&](const char *what) {
    return [&script, &said, what](int n) { script += what + std::to_string(n) + ":\n" + said; };
  };
  // The writer goes on without the member: only the attempt that
  // succeeded wrote one.
  auto archived = [&] {
    const int result = archive("cust");
    EXPECT_NE(-1, result);  // 1: not archived
    return result == 0;
  };
  test::FailEachAllocation{.op = [&] { return captured(archived); },
                           .after = report("writer, allocation ")}
      .run();
  expect_archive(test::model_header_of(".", "cust", "", 36, 'V') +
                 test::model_v6_data(test::sample_indexed()));
  // What the run holds is given back with it.
  run_.reset();
  test::FailEachAllocation{
      .op =
          [&] {
            return captured([&] {
              Status status = start_input(test::model_v6_member("cust", test::sample_indexed()));
              if (status == Status::kOk) status = extract_all();
              run_.reset();
              EXPECT_NE(Status::kFatalArchiveWrite, status);
              return status == Status::kOk;
            });
          },
      .after = report("reader, allocation ")}
      .run();
  EXPECT_TRUE(test::matches_golden("archive/allocation_failures.txt", script));
}

// Rows of archive/folders.txt: "restore FAILURES NAME [cut|over]" restores
// the sample member NAME and a plain member "after" with the first
// FAILURES makes failing, and shows the records written, what "after"
// holds and what the run said. "cut": NAME is cut short and its removal
// fails. "over": NAME and NAME.vix are there and the engine moves both
// aside before its move fails; the files of that name follow.
// "make_parent_dirs NAME" makes the folders ahead of a name; "made NAME"
// tells whether it is there.
TEST_F(StandIn, ReaderMakesTheFoldersOnceThenGivesUp) {
  IndexedOps moves_two = kFakeOps;
  moves_two.rename = [](const char *from, const char *to) {
    for (std::string s : {"", ".vix"}) rename((from + s).c_str(), (to + s).c_str());
    return fail(E_SYSERR);
  };
  auto restore = [&](const test::Words &a) {
    g = Fake{};
    g.make_failures = static_cast<int>(test::number(a.at(0)));
    unlink("after");  // so that each row shows its own restore's "after"
    const std::string name = a.at(1), how = a.size() > 2 ? a[2] : "";
    std::string member = test::model_v6_member(name, test::sample_indexed());
    g.remove_fails = how == "cut";
    if (how == "over") {
      test::write_file(name, "old");
      test::write_file(name + ".vix", "old index");
    }
    indexed_set_ops(how == "over" ? &moves_two : &kFakeOps);
    EXPECT_EQ(Status::kOk, start_input(g.remove_fails ? member.substr(0, member.size() - 20)
                                                      : member + test::model_plain("after", "a")));
    run_->transfer.make_dirs = 1;
    test::StderrCapture err;
    EXPECT_EQ(g.remove_fails ? Status::kFatal : Status::kOk, extract_all());
    std::string shown = std::to_string(g.written.size()) + " records, after " +
                        test::read_file("after") + "\n" + err.text();
    for (const std::string &f : test::folder_entries("."))
      if (how == "over" && f.find(name) != std::string::npos)
        shown += f + ": " + test::read_file(f) + "\n";
    return shown;
  };
  test::write_file("file", "");
  auto make = [&](const test::Words &a) {
    test::StderrCapture err;
    const int made = make_parent_dirs(run_->transfer, a.at(0).c_str());
    return std::to_string(made) + "\n" + err.text();
  };
  auto made = [](const test::Words &a) { return test::file_exists(a.at(0)) ? "yes" : "no"; };
  EXPECT_TRUE(test::run_rows("archive/folders.txt",
                             {{"restore", restore}, {"make_parent_dirs", make}, {"made", made}}));
}

}  // namespace
}  // namespace kel::archive
