// The setup list as the release host may send it: any bytes. Parsing must
// stay inside SetupList's fixed fields, and a list that the checks accept
// must only name places inside the version directory, down to the part
// folders that an update moves and the parts record that lists them.
#include <ctype.h>
#include <stdint.h>
#include <string.h>
#include <strings.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "base/base64.h"
#include "base/cmdline.h"
#include "fuzz_check.h"
#include "setuplist/list_signature.h"
#include "setuplist/part_folder.h"
#include "setuplist/setup_list.h"

namespace {

bool hex_lower(const char* s) {
  for (; *s; s++)
    if (!((*s >= '0' && *s <= '9') || (*s >= 'a' && *s <= 'f'))) return false;
  return true;
}

// The bytes a name from the list may hold once accepted: nothing that
// Windows reads as a drive, a stream, a wildcard or a code-page character.
bool name_bytes(const char* s, bool slashes) {
  for (; *s; s++) {
    unsigned char c = (unsigned char)*s;
    bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
              c == '.' || c == '_' || c == '+' || c == '-' || (slashes && fuzz_is_sep(c));
    if (!ok) return false;
  }
  return true;
}

// What an accepted name or relative path must be, whatever list_name_ok
// looks like inside.
void check_accepted_name(const char* s, bool slashes) {
  FUZZ_CHECK(s[0] != 0);
  FUZZ_CHECK(!fuzz_is_sep((unsigned char)s[0]));
  FUZZ_CHECK(name_bytes(s, slashes));
  FUZZ_CHECK(!fuzz_has_dot_segment(s));
}

// list_name_ok on any text the parser produced, accepted or not.
void check_name_rule(const char* s) {
  int as_name = list_name_ok(s, 0);
  int as_path = list_name_ok(s, 1);
  if (as_name) check_accepted_name(s, false);
  if (as_path) check_accepted_name(s, true);
  // A name is a path of one segment: allowing slashes never rejects it.
  if (as_name) FUZZ_CHECK(as_path);
}

// Every text field ends inside its buffer.
template <size_t N>
void check_terminated(const char (&field)[N]) {
  FUZZ_CHECK(memchr(field, 0, N) != nullptr);
}

void check_part_folder(const PartEntry* p, bool accepted) {
  wchar_t out[260];
  wmemset(out, L'#', 260);
  if (!part_folder(p, out)) {
    for (wchar_t c : out) FUZZ_CHECK(c == L'#');  // "no folder" leaves the buffer alone
    return;
  }
  size_t n = wcsnlen(out, 260);
  FUZZ_CHECK(n < 260);  // MAX_PATH units with the terminator
  FUZZ_CHECK(n > 0);
  if (!accepted) return;  // the setup never asks for the folder of a rejected list
  // The folder is moved from one version directory to another: it must lie
  // below it, with Windows separators only.
  FUZZ_CHECK(!fuzz_is_sep((unsigned)out[0]));
  for (size_t i = 0; i < n; i++) FUZZ_CHECK(out[i] != L'/');
  FUZZ_CHECK(!fuzz_has_dot_segment(out));
  // It names the part's own entry, not the directory that holds it.
  FUZZ_CHECK(!fuzz_is_sep((unsigned)out[n - 1]));
}

// parts.txt names exactly the parts that have a folder, one digest a line.
void check_record(const SetupList& list) {
  char text[16 * 65 + 1];
  memset(text, 'Z', sizeof text);
  size_t len = parts_record_text(list.parts, list.part_count, text);
  FUZZ_CHECK(len < sizeof text);
  FUZZ_CHECK(text[len] == 0 && strlen(text) == len);
  size_t at = 0;
  for (uint32_t i = 0; i < list.part_count; i++) {
    wchar_t folder[260];
    if (!part_folder(&list.parts[i], folder)) continue;
    FUZZ_CHECK(at + 65 <= len);
    FUZZ_CHECK(memcmp(text + at, list.parts[i].sha256, 64) == 0 && text[at + 64] == '\n');
    at += 65;
  }
  FUZZ_CHECK(at == len);
}

// The list's own tag, asked for with --tag, never raises the mismatch.
void check_own_tag(const SetupList& list) {
  std::wstring line = L"--tag ";
  for (const char* c = list.tag; *c; c++) line += (wchar_t)(unsigned char)*c;
  set_cmdline(line.c_str());
  char requested[128];
  FUZZ_CHECK(check_requested_tag(&list, requested) == 0);
}

}  // namespace

// A signature is taken only from a last line that is exactly "sig " and its
// one canonical base64, with nothing but line ends after it; what it signs
// is everything before that line.
void check_signature_line(const char* body, size_t size) {
  size_t signed_len = 0;
  uint8_t sig[LIST_SIG_BYTES];
  if (find_list_signature(body, size, &signed_len, sig) != LIST_SIG_FOUND) return;
  FUZZ_CHECK(signed_len + 4 + LIST_SIG_TEXT <= size);
  FUZZ_CHECK(signed_len == 0 || body[signed_len - 1] == '\r' || body[signed_len - 1] == '\n');
  FUZZ_CHECK(memcmp(body + signed_len, "sig ", 4) == 0);
  char again[LIST_SIG_TEXT + 1];
  FUZZ_CHECK(base64_encode(sig, sizeof sig, again, sizeof again) == LIST_SIG_TEXT);
  FUZZ_CHECK(memcmp(again, body + signed_len + 4, LIST_SIG_TEXT) == 0);
  for (size_t i = signed_len + 4 + LIST_SIG_TEXT; i < size; i++)
    FUZZ_CHECK(body[i] == '\r' || body[i] == '\n');
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_signature_line((const char*)data, size);
  // The download always keeps a zero byte after the body; parsing may cut
  // the text in place, so it gets a copy of its own.
  std::vector<char> text(data, data + size);
  text.push_back(0);

  SetupList list;
  memset(&list, 0xA5, sizeof list);  // no field may be read before it is written
  parse_setup_list(text.data(), &list);

  FUZZ_CHECK(list.part_count <= MAX_PARTS);
  check_terminated(list.tag);
  check_terminated(list.run);
  check_name_rule(list.tag);
  check_name_rule(list.run);
  for (uint32_t i = 0; i < list.part_count; i++) {
    const PartEntry& p = list.parts[i];
    check_terminated(p.sha256);
    check_terminated(p.extract_to);
    check_terminated(p.rename_from);
    check_terminated(p.rename_to);
    check_terminated(p.url);
    check_name_rule(p.extract_to);
    check_name_rule(p.rename_from);
    check_name_rule(p.rename_to);
    // Parsing keeps single tokens: no field holds white space.
    for (const char* f : {p.sha256, p.extract_to, p.rename_from, p.rename_to, p.url})
      for (const char* c = f; *c; c++) FUZZ_CHECK(!isspace((unsigned char)*c));
  }

  ListVerdict verdict = check_setup_list(&list);
  FUZZ_CHECK(verdict == LIST_ACCEPTED || verdict == LIST_UNREADABLE || verdict == LIST_REJECTED);
  if (verdict == LIST_UNREADABLE)
    FUZZ_CHECK(!list.tag[0] || !list.run[0] || list.part_count == 0);

  bool accepted = verdict == LIST_ACCEPTED;
  if (accepted) {
    FUZZ_CHECK(list.part_count >= 1);
    check_accepted_name(list.tag, false);
    check_accepted_name(list.run, true);
    for (uint32_t i = 0; i < list.part_count; i++) {
      const PartEntry& p = list.parts[i];
      FUZZ_CHECK(strlen(p.sha256) == 64 && hex_lower(p.sha256));
      FUZZ_CHECK(strncasecmp(p.url, "https://", 8) == 0);
      if (strcmp(p.extract_to, ".") != 0) check_accepted_name(p.extract_to, true);
      if (strcmp(p.rename_from, "-") != 0) check_accepted_name(p.rename_from, false);
      if (strcmp(p.rename_to, "-") != 0) check_accepted_name(p.rename_to, false);
    }
  }
  for (uint32_t i = 0; i < list.part_count; i++) check_part_folder(&list.parts[i], accepted);
  if (accepted) {
    check_record(list);
    check_own_tag(list);
  }
  return 0;
}
