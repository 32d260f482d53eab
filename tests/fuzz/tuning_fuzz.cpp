// The tuning file's line match over any text, cut into lines as the poll reads them,
// against a character-by-character model of " key = value": a key of 1..31 of
// a-z, 0-9 and "_", then "=", then 1..95 characters up to the next blank.
#include <cctype>
#include <cstring>
#include <string>

#include "gpu/parse.h"
#include "tests/fuzz/naive.h"

namespace {

bool key_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

bool model(const char *s, std::string *key, std::string *value) {
    auto blank = [](char c) { return isspace(static_cast<unsigned char>(c)) != 0; };
    while (blank(*s)) s++;
    key->clear();
    while (key_char(*s) && key->size() < 31) *key += *s++;
    if (key->empty()) return false;
    while (blank(*s)) s++;
    if (*s++ != '=') return false;
    while (blank(*s)) s++;
    value->clear();
    while (*s && !blank(*s) && value->size() < 95) *value += *s++;
    return !value->empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    char buf[kTuningLineBuf];
    for (size_t pos = 0, next; (next = next_line(text, pos, buf, sizeof buf)) != pos; pos = next) {
        FUZZ_CHECK(next - pos <= sizeof buf - 1);
        TuningLine t;
        std::string key, value;
        bool got = tuning_line(buf, &t);
        FUZZ_CHECK(got == model(buf, &key, &value));
        if (!got) continue;
        FUZZ_CHECK(key == t.key);
        FUZZ_CHECK(value == t.value);
    }
    return 0;
}
