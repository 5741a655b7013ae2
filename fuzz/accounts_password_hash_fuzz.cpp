// Stored password hash strings: the first input byte picks a password, the rest is the "pass_hash"
// text of a users.json record (cut at a NUL, as a C text is). Checked against a reference reading
// of the form written here from the rules (the string split at "$" into exactly the scheme
// "pbkdf2", a count of plain decimal digits from 1 to 10000000, 32 and 64 hex digits of either
// case):
// - a string of any other form never verifies, and neither does one whose count is above the bound
//   (the reference never derives, so such inputs cost no time);
// - a well-formed string with a count of at most 64 verifies exactly when its password, salt,
//   count and key are one of the known answers below (computed with Python's hashlib); any other
//   key is a 2^-256 chance.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "id_accounts.h"

using namespace tarn::fuzz;

namespace {

const char* const kPasswords[] = {"correct horse", "p\xc3\xa4ssw\xc3\xb6rd", "", "Correct horse"};

struct KnownAnswer {
    const char* password;
    std::uint32_t count;
    const char* salt;  // lower-case hex
    const char* key;
};
const KnownAnswer kKnown[] = {
    {"correct horse", 1, "000102030405060708090a0b0c0d0e0f",
     "c5199f52d095f03bb27ace7b385711999c67ec4aacd0f298a6da36ce47520daf"},
    {"correct horse", 2, "000102030405060708090a0b0c0d0e0f",
     "66efdb63ed5ef9f0624f73808dfb3668b4c121bbac9443aec14b64da9c6c7f22"},
    {"p\xc3\xa4ssw\xc3\xb6rd", 7, "101112131415161718191a1b1c1d1e1f",
     "f97acb3baf0c7d8d2dfb05dc7292df1a0a0c5aaf0c6b40bb620109ab97b6613b"},
    {"", 3, "ffeeddccbbaa99887766554433221100",
     "3147a0a511ce6a6fb1a4fb1e3cc1ae701c1f10cf2ade040fc24d1110103cbd49"},
};

bool is_hex(std::string_view s) {
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

struct Reading {
    bool well_formed = false;
    std::string digits;  // the count as written
    std::string salt, key;
};

Reading read_reference(std::string_view s) {
    Reading r;
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        const std::size_t dollar = s.find('$', start);
        fields.push_back(s.substr(start, dollar == std::string_view::npos ? std::string_view::npos : dollar - start));
        if (dollar == std::string_view::npos) break;
        start = dollar + 1;
    }
    if (fields.size() != 4 || fields[0] != "pbkdf2" || fields[1].empty()) return r;
    for (char c : fields[1])
        if (c < '0' || c > '9') return r;
    if (fields[2].size() != 32 || fields[3].size() != 64 || !is_hex(fields[2]) || !is_hex(fields[3])) return r;
    r.well_formed = true;
    r.digits = std::string(fields[1]);
    r.salt = lower(fields[2]);
    r.key = lower(fields[3]);
    return r;
}

// The count written as `digits` when it is at most `limit`, else 0 (also for a count of zero).
std::uint64_t count_up_to(std::string digits, std::uint64_t limit) {
    digits.erase(0, digits.find_first_not_of('0'));
    if (digits.empty() || digits.size() > 8) return 0;
    const std::uint64_t n = std::stoull(digits);
    return n <= limit ? n : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const char* password = kPasswords[in.byte() % (sizeof kPasswords / sizeof *kPasswords)];
    const std::string stored(in.rest());
    const std::string_view text(stored.c_str());  // what a C caller hands over
    const Reading r = read_reference(text);
    const bool all_digits_zero = r.well_formed && r.digits.find_first_not_of('0') == std::string::npos;
    const bool above_bound = r.well_formed && !all_digits_zero && count_up_to(r.digits, 10000000) == 0;

    if (!r.well_formed || all_digits_zero || above_bound) {
        FUZZ_CHECK(id_verify_password(password, stored.c_str()) == 0);
        return 0;
    }
    const std::uint64_t count = count_up_to(r.digits, 64);
    if (count == 0) return 0;  // a real derivation of up to 10^7 rounds: too slow to fuzz
    bool known = false;
    for (const KnownAnswer& k : kKnown)
        known |= std::strcmp(k.password, password) == 0 && k.count == count && r.salt == k.salt && r.key == k.key;
    FUZZ_CHECK(id_verify_password(password, stored.c_str()) == (known ? 1 : 0));
    return 0;
}
