// The message file parser over arbitrary bytes: A_MESSAGE names the input,
// and a range of message numbers and sub-messages is fetched, walked in
// order (the read cache) and out of order, expanded with placeholders and
// checked as printf texts.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz.h"
#include "messages/diag.h"
#include "messages/msg.h"
#include "tests/common/msg_file.h"

namespace {

const int32_t kNumbers[] = {-1, 0, 1, 2, 3, 5, 8, 13, 40, 866, 1090, 0x7FFF, 0x7FFFFFFF};
constexpr size_t kLongestReport = 16 * 1024;
bool g_opened = false;
const char *const kArgs[] = {"one", "two", "three", "four", "five", "six"};

void fetch(int32_t number, int32_t sub) {
  const char *text = Amsg_get(number, sub, sub % 2 ? "default %1" : nullptr);
  if (text == nullptr && !g_opened) return;  // the library was left uninitialised
  if (text == nullptr || strlen(text) >= kel::kMsgBufferSize) {
    fprintf(stderr, "fuzz: message %d.%d: %s\n", number, sub, text ? "too long" : "no text");
    abort();
  }
  char out[kel::kMsgBufferSize];
  Amsg_format(out, text, kArgs[0], kArgs[1], kArgs[2], kArgs[3], kArgs[4], kArgs[5]);
  kel::msg_expand(out, text, kArgs, sub % 7);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  kel::fuzz::InScratch scratch(kel::fuzz::Guard::kEscape);
  kel::fuzz::write_bytes("messages", data, size);
  std::string path = kel::fuzz::scratch() + "/messages";
  setenv("A_MESSAGE", path.c_str(), 1);
  char error_text[300] = {};
  g_opened = Amsg_init(error_text) == 1;
  if (!g_opened && error_text[0] == '\0') {
    fprintf(stderr, "fuzz: the message file was refused without a reason\n");
    abort();
  }
  for (int32_t number : kNumbers) {
    for (int32_t sub = 0; sub < 4; ++sub) fetch(number, sub);
    fetch(number, 70000);
    fetch(number, -1);
  }
  for (int32_t number = 20; number > 0; --number) fetch(number, number % 3);
  // Texts given to printf-style writers keep the default's conversions,
  // and a few short arguments never make a report of kilobytes.
  size_t said = kel::fuzz::diagnostic_bytes();
  eprintf(kel::msg_printf_text(2, "%s: %d of %ld\n"), "x", 1, 2L);
  eprintf(kel::msg_printf_text(3, "%c%*d%%%5.2f\n"), 'c', 4, 5, 6.0);
  if (kel::fuzz::diagnostic_bytes() - said > kLongestReport) {
    fprintf(stderr, "fuzz: two reports wrote %zu bytes\n", kel::fuzz::diagnostic_bytes() - said);
    abort();
  }
  Amsg_print(stderr, Amsg_get(4, 0, "%1 and %2"), "a", "b", "c", "d", "e", "f");
  Amsg_shutdown();
  return 0;
}

// Seed: messages 1 to 6 with sub-messages, placeholders, printf texts,
// escapes and a missing message.
extern "C" int fuzz_make_seeds(const char *folder) {
  const std::string file = kel::test::MsgFileBuilder()
                               .add(1, {"first %1 and %2", "sub one", "sub %3 two"})
                               .add(2, {"%s: %d of %ld\\n"})
                               .add(3, {"%c%*d%%%5.2f\\t\\\"q\\\"\\012"})
                               .add(4, {"%2 then %1", "a\\", "b\\x"})
                               .missing(5, 0)
                               .add(6, {"%1%2%3%4%5%6%7%8", "last"})
                               .bytes();
  kel::fuzz::write_bytes(std::string(folder) + "/six", file.data(), file.size());
  return 1;
}
