#pragma once
// Recognising credentials in text that leaves the user's machine or is shown
// to the host: tool arguments in events, facts the model proposes to
// remember. One pattern set, so redaction and the memory filter agree on what
// a secret looks like.
//
// Two strengths. The shapes of credential_length_at are credentials wherever
// they stand; redaction (scrub_credentials) cuts out only those, so a tool's
// arguments shown to the host keep commit hashes, identifiers and prose. The
// memory filter (contains_credential) refuses more: a fact that is dropped
// costs little, one that is kept goes into every later system prompt, so it
// also refuses assignments, secrets named in prose and random-looking tokens.
// Every scanner here is hand-written and linear in the text: each start
// position does bounded work or consumes the run it reads.

#include <cstddef>
#include <string>
#include <string_view>

namespace vexa {

// Whether a name (a JSON key, a header) names a credential: folded to lower
// case with '-' and '_' removed, it contains "apikey", "token", "secret",
// "password", "passwd", "passphrase", "privatekey", "credential",
// "authorization", "accesskey" or "cookie".
bool names_credential(std::string_view name);

// The length of the credential-shaped run that starts at `pos`, or 0.
// At the start of a word (not after a letter, digit or one of "-_.~+/="):
//   provider keys by prefix ("sk-", "sk_live_", "sk_test_", "ghp_", "gho_",
//   "ghs_", "github_pat_", "xoxb-", "xoxp-" followed by at least 16 key
//   characters; "AKIA"/"AIza" runs of at least 20), bearer and basic
//   authorisations ("Bearer ", "bearer ", "Basic " and at least 8 key
//   characters), JSON web tokens ("eyJ…", at least 32 characters holding two
//   dots) and PEM private keys (from "-----BEGIN … PRIVATE KEY-----" to the
//   end of its footer, or of the text).
// With boundaries of their own:
//   AWS secret access keys: exactly 40 characters of [A-Za-z0-9/+] (not inside
//   a longer such run, not followed by '=') holding upper and lower case
//   letters (a hex digest never does), with "aws" (not after a letter) or
//   "secret access key" (ASCII case ignored; words joined by nothing, ' ',
//   '_' or '-') in the 64 bytes before it;
//   payment card numbers: 13 to 19 digits, the first 2 to 6, written as one
//   run or grouped 4-4-4-4, 4-4-4-4-(1 to 3), 4-6-5 or 4-6-4 with one kind of
//   separator (' ' or '-'), passing the Luhn check; not part of a longer
//   number, word or decimal, nor after '+' (phone numbers), '.', '-' or '_'.
std::size_t credential_length_at(std::string_view text, std::size_t pos);

// Replaces every run of credential_length_at in `text` with "[redacted]".
// Returns false, leaving `text` alone, when there is none. Assignments, prose
// and random-looking tokens are left: tool arguments hold hashes, identifiers
// and sentences the host must see as they are.
bool scrub_credentials(std::string& text);

// The length of a credential assignment that starts at `pos`, or 0: a word
// "password", "passwd", "passphrase", "pwd", "secret", "api_key", "api-key",
// "apikey" or "token" (ASCII case ignored, not preceded by a letter or digit,
// not followed by one), "密码" or "密钥", then an optional closing quote,
// optional blanks, ':' , '=' or '：', optional blanks and quote, and a value
// of at least 4 bytes up to the next blank, quote, comma or semicolon.
// "max tokens: 4096" or "password manager: KeePass" are not assignments.
std::size_t credential_assignment_at(std::string_view text, std::size_t pos);

// The length from `pos` to the end of a secret named in prose, or 0. At `pos`
// a keyword (ASCII case ignored, not after a letter or digit, not followed by
// one): "password", "passwd", "passphrase", "passcode", "pwd" (passwords);
// "pin" (optionally followed by "码"); "cvv", "cvv2", "cvc", "cvc2" (card
// codes); "token", "secret", "api key", "access key", "private key" (words
// joined by ' ', '-', '_' or nothing) (keys); or "密码", "口令", "密钥"
// (passwords). Then, on the same line and within 512 bytes:
//   the value right after the keyword, or after "code", "number", "no", "num",
//   "#" or "key" ("PIN 4821", "deploy token 9f8e…", "PIN code 4821"); or
//   a connector — ':', '=', '：', '-', "is", "was", "are", "equals", "是",
//   "为", "為", or "to" after "changed", "set", "reset" or "updated" — reached
//   directly or through a phrase that starts with "for", "to", "of", "on",
//   "at", "in", "from" or "with" (at most 5 words, no sentence end: "password
//   for the NAS is …"), then at most two of "now", "still", "just", "simply",
//   "the", "my", "set", "changed", "to", "currently", "actually", "being",
//   "be", and the value.
// The value is one word (quotes, brackets and closing punctuation around it
// removed; it ends at a blank, a line end or a non-ASCII character). It is
// never a version ("v2.3.1") nor only digits with separators (dates, times,
// phone numbers). It counts for a card code when it is 3 or 4 digits, for a
// PIN when it is 4 to 12 digits; for a key when it has at least 8 characters
// holding letters and digits; for a password after a connector (or after a
// Chinese keyword) when it has at least 4 characters and is all digits or
// holds a letter with a digit or one of "!@#$%^&*+=?~", right after the
// keyword when it has at least 6 characters holding a letter with a digit or
// such a symbol. So "password is hunter2-Xq9" and "api key is zz-live-8c1f…"
// are secrets; "password manager is 1Password", "the token limit is 4096",
// "max tokens 4096", "pin the tab" and "the secret to bread is time" are not.
std::size_t credential_in_prose_at(std::string_view text, std::size_t pos);

// The length of a random-looking token that starts at `pos`, or 0. Either an
// alphanumeric word (after an optional "0x") of at least 32 hexadecimal digits
// holding letters and digits, or a run of at least 24 characters of
// [A-Za-z0-9+/_-] (padding '=' included) that is not inside a longer run and
// holds upper case, lower case and digits, with a Shannon entropy of at least
// 3.5 bits per character, and does not read as words: less than 40% of it in
// lower-case words of three letters or more (an initial capital included),
// and, where '/', '-', '_', '+' split it into pieces all shorter than 12,
// less than 20% ("ThinkPadX1CarbonGen11", "/home/Ada/Projects2024/src" are
// not tokens). A token right after "commit", "sha", "sha1", "sha256",
// "sha512", "md5", "hash", "checksum", "digest", "revision", "rev" (and ':',
// '=', '#' or blanks) names itself as a hash and is not counted. UUIDs are not
// tokens: their groups are shorter than 32 and they are all one case.
std::size_t random_token_length_at(std::string_view text, std::size_t pos);

// Whether `text` holds, anywhere, a credential shape, a credential assignment,
// a secret named in prose or a random-looking token.
bool contains_credential(std::string_view text);

}  // namespace vexa
