// A fuzz driver for the timestamp readers: whatever the bytes, a reader returns
// (no overflow, no read past the text, no undefined behaviour under the
// sanitizers), and what it reads is a time that exists. Built as a libFuzzer
// entry with -DQUARNEX_LIBFUZZER (clang -fsanitize=fuzzer); otherwise its own
// main() mutates texts of the common shapes for a bounded time or count.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fast/readers.hpp"
#include "rules.hpp"

using namespace qx::fast;

namespace {

void check_stamp(const Stamp& t, const uint8_t* data, size_t size) {
  const bool ok = t.year >= 1 && t.year <= 9999 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
                  t.day <= days_in_month(t.year, t.month) && t.hour >= 0 && t.hour <= 23 && t.minute >= 0 &&
                  t.minute <= 59 && t.second >= 0 && t.second <= 59 && t.micro >= 0 && t.micro <= 999999 &&
                  t.offset_seconds > -86400 && t.offset_seconds < 86400;
  if (!ok) {
    std::fprintf(stderr, "impossible time read from %zu bytes: %.*s\n", size, static_cast<int>(size),
                 reinterpret_cast<const char*>(data));
    std::abort();
  }
}

bool same_stamp(const Stamp& a, const Stamp& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute &&
         a.second == b.second && a.micro == b.micro && a.zone == b.zone && a.offset_seconds == b.offset_seconds;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // an exact-size copy, so that the sanitizer sees any read past the text
  std::vector<char> text(data, data + size);
  const char* p = text.empty() ? nullptr : text.data();
  const char* q = p ? p : "";
  for (bool dayfirst : {false, true}) {
    ReadRules rules = rules_of_2026(dayfirst);
    Stamp t;
    if (read_any_stamp(q, static_cast<Size>(size), rules, t)) {
      check_stamp(t, data, size);
      // the readers take ASCII texts only, so UTF-8 bytes can be handed to them as they are
      for (size_t k = 0; k < size; ++k) {
        if (data[k] >= 0x80) {
          std::fprintf(stderr, "a text with a byte outside ASCII was read: %.*s\n", static_cast<int>(size), q);
          std::abort();
        }
      }
    }
  }
  Fields f;
  if (lex(q, static_cast<Size>(size), f)) {
    for (size_t k = 0; k < size; ++k) {
      if (data[k] >= 0x80) {
        std::fprintf(stderr, "a text with a byte outside ASCII was lexed: %.*s\n", static_cast<int>(size), q);
        std::abort();
      }
    }
    const bool ok = f.parts >= 1 && f.parts <= 3 && f.lead + f.gap + f.trail <= static_cast<Size>(size) &&
                    f.micro >= 0 && f.micro <= 999999 && f.offset_seconds > -1000000 && f.offset_seconds < 1000000;
    if (!ok) {
      std::fprintf(stderr, "impossible fields lexed from %zu bytes\n", size);
      std::abort();
    }
  }
  // the shapes read at fixed places read as the lexer's reader reads them
  for (bool dayfirst : {false, true}) {
    ReadRules rules = rules_of_2026(dayfirst);
    // varied defaults: a default day past the month's end is cut to it
    rules.default_month = dayfirst ? 2 : 1;
    rules.default_day = dayfirst ? 31 : 1;
    Stamp fixed, lexed;
    if (!read_slashed_stamp(q, static_cast<Size>(size), rules, fixed) &&
        !read_year_stamp(q, static_cast<Size>(size), rules, fixed) &&
        !read_named_stamp(q, static_cast<Size>(size), fixed)) {
      continue;
    }
    check_stamp(fixed, data, size);
    if (!read_lexed_stamp(q, static_cast<Size>(size), rules, lexed) || !same_stamp(fixed, lexed)) {
      std::fprintf(stderr, "a fixed-place reader and the lexer differ on %.*s\n", static_cast<int>(size), q);
      std::abort();
    }
  }
  Stamp iso, lexed;
  if (read_iso_stamp(q, static_cast<Size>(size), iso)) {
    check_stamp(iso, data, size);
    ReadRules rules = rules_of_2026(false);
    const bool same = read_lexed_stamp(q, static_cast<Size>(size), rules, lexed) && same_stamp(iso, lexed);
    if (!same) {
      std::fprintf(stderr, "the ISO reader and the lexer differ on %.*s\n", static_cast<int>(size), q);
      std::abort();
    }
  }
  return 0;
}

#ifndef QUARNEX_LIBFUZZER
int main(int argc, char** argv) {
  double seconds = 10;
  long runs = -1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atol(argv[i + 1]);
  }
  const std::vector<std::string> seeds = {"2024-01-31",
                                          "2024-01-31T13:05:07.123456789+01:00",
                                          "01/31/2024 13:00",
                                          "31.01.2024 13:00",
                                          "2024/01/31 13:00",
                                          "31 Jan 2024 13:00",
                                          "Jan-1-1995",
                                          "January 2024",
                                          "1949-02",
                                          "1959",
                                          "01/02/23",
                                          "2024-01-31T13:00:00Z",
                                          "29-Feb-2024 10:00",
                                          "12/13/2024 23:59:59.5",
                                          "2024-01-31 13:00-0530",
                                          "12-31-2024 23:59:59",
                                          "13.01.2024",
                                          "00/00/0000 00:00",
                                          "2024.01.31T13:00:00+01:00",
                                          "1000/12",
                                          "09 sep 0101 00:00:00"};
  const std::string alphabet = "0123456789-/.: TZz+JanFebSeptDecember\t\"\x7f\xff\xc3\xa9";
  std::mt19937_64 rng(20261209);
  const auto start = std::chrono::steady_clock::now();
  long n = 0;
  for (; runs < 0 || n < runs; ++n) {
    if ((n & 1023) == 0 && runs < 0 &&
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > seconds) {
      break;
    }
    std::string s = seeds[rng() % seeds.size()];
    for (int k = static_cast<int>(rng() % 4); k >= 0; --k) {
      const size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
      switch (rng() % 4) {
        case 0:  // replace
          if (at < s.size()) s[at] = alphabet[rng() % alphabet.size()];
          break;
        case 1:  // insert
          s.insert(s.begin() + static_cast<std::ptrdiff_t>(at), alphabet[rng() % alphabet.size()]);
          break;
        case 2:  // delete
          if (at < s.size()) s.erase(at, 1);
          break;
        default:  // cut
          s.resize(at);
      }
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  }
  std::printf("readers_fuzz: %ld texts read, no fault\n", n);
  return 0;
}
#endif
