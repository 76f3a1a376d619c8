// dorvex-tool: the operator's tool for indexed files (usage below; exit
// statuses in tool.h).
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive/standard_descriptors.h"
#include "kelfs/config.h"
#include "tool.h"

namespace {

constexpr char kUsage[] =
    "usage: dorvex-tool COMMAND ARGUMENTS\n"
    "\n"
    "  info FILE                 the file's version, parameter and key texts, sizes,\n"
    "                            record counts and segments\n"
    "  check FILE                the structural check of every tree, record slot and\n"
    "                            chain; status 0 sound, 1 problems found, 3 not checked\n"
    "  unload FILE OUT [--key N] [--text]\n"
    "                            every record in the order of key N (0) to OUT, a new\n"
    "                            file: kel's indexed member, or lines with --text\n"
    "  load OUT FILE             make FILE from an unload file and add its records\n"
    "                            by bulk addition\n"
    "  rebuild FILE [--keep]     re-create every index from the data records (for a\n"
    "                            file whose trees are broken and whose records are\n"
    "                            intact); --keep keeps the old file as\n"
    "                            before-rebuild-FILE\n"
    "  copy FROM TO              a new file TO with FROM's layout and records\n"
    "  transact FILE LOG         changes from standard input under transactions with\n"
    "                            LOG as the shared log: \"+record\" writes, \"=record\"\n"
    "                            rewrites, \"-record\" deletes by its primary key,\n"
    "                            \"commit\" and \"rollback\" end a transaction\n"
    "  recover LOG               replays LOG's committed transactions into the files\n"
    "                            it names (after a restore from the last backup)\n"
    "  --help                    this text\n"
    "\n"
    "Exit status: 0 done, 1 check found problems or records were rejected as\n"
    "duplicates, 2 usage, 3 the command could not be done (the message says why).\n"
    "Settings come from the environment: V_VERSION, V_SEG_SIZE, DUPLICATES_LOG,\n"
    "V_TRACE (see dorvex-tool(1)).\n";

int usage_error(const char *why) {
  fprintf(stderr, "dorvex-tool: %s\n%s", why, kUsage);
  return kel::tools::kExitUsage;
}

// The options after the positional arguments of unload and rebuild.
struct Options {
  int key = 0;
  bool text = false;
  bool keep = false;
  const char *error = nullptr;
};

Options options(int argc, char **argv, int first, bool unload) {
  Options o;
  for (int i = first; i < argc && o.error == nullptr; ++i) {
    if (unload && strcmp(argv[i], "--text") == 0) {
      o.text = true;
    } else if (unload && strcmp(argv[i], "--key") == 0 && i + 1 < argc) {
      char *end;
      o.key = static_cast<int>(strtol(argv[++i], &end, 10));
      if (*end != '\0' || end == argv[i]) o.error = "--key takes a key number";
    } else if (!unload && strcmp(argv[i], "--keep") == 0) {
      o.keep = true;
    } else {
      o.error = "an unknown option or too many arguments";
    }
  }
  return o;
}

// The command named by the arguments; usage errors have status 2.
int run(int argc, char **argv) {
  using namespace kel::tools;
  const std::string command = argc > 1 ? argv[1] : "";
  const int n = argc - 2;  // arguments after the command
  if (command == "info" && n == 1) return info_command(argv[2]);
  if (command == "check" && n == 1) return check_command(argv[2]);
  if (command == "copy" && n == 2) return copy_command(argv[2], argv[3]);
  if (command == "load" && n == 2) return load_command(argv[2], argv[3]);
  if (command == "unload" && n >= 2) {
    Options o = options(argc, argv, 4, true);
    if (o.error != nullptr) return usage_error(o.error);
    return unload_command(argv[2], argv[3], o.key, o.text);
  }
  if (command == "rebuild" && n >= 1) {
    Options o = options(argc, argv, 3, false);
    if (o.error != nullptr) return usage_error(o.error);
    return rebuild_command(argv[2], o.keep);
  }
  if (command == "transact" && n == 2) return transact_command(argv[2], argv[3]);
  if (command == "recover" && n == 1) return recover_command(argv[2]);
  return usage_error(command.empty() ? "a command is needed" : "unknown command or arguments");
}

}  // namespace

// "--help" or "-h" anywhere asks for the usage: "dorvex-tool unload cust
// --help" must not unload into a file named "--help". The file system's
// exit runs after every command: it removes the transaction log's work
// file ("TM..." in LOG_DIR, the current folder unless set) that transact
// and recover made.
int main(int argc, char **argv) {
  using namespace kel::tools;
  kel::hold_closed_standard_descriptors();
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0 ||
        (i == 1 && strcmp(argv[i], "help") == 0)) {
      fputs(kUsage, stdout);
      return kExitOk;
    }
  }
  v5_init_cfg();
  cfg_apply_environment(KELFS_CONFIG_SET);
  if (!v5_init()) return fail("dorvex-tool", fs_reason());
  const int status = run(argc, argv);
  v5_exit();
  return status;
}
