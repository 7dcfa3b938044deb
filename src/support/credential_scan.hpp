#pragma once
// Recognising credentials in text that leaves the user's machine or is shown
// to the host: tool arguments in events, facts the model proposes to
// remember. One pattern set, so redaction and the memory filter agree on what
// a secret looks like.

#include <cstddef>
#include <string>
#include <string_view>

namespace vexa {

// Whether a name (a JSON key, a header) names a credential: folded to lower
// case with '-' and '_' removed, it contains "apikey", "token", "secret",
// "password", "passwd", "passphrase", "privatekey", "credential",
// "authorization", "accesskey" or "cookie".
bool names_credential(std::string_view name);

// The length of the credential-shaped run that starts at `pos` (only at the
// start of a word), or 0. Shapes: provider keys by prefix ("sk-", "sk_live_",
// "sk_test_", "ghp_", "gho_", "ghs_", "github_pat_", "xoxb-", "xoxp-" followed
// by at least 16 key characters; "AKIA"/"AIza" runs of at least 20), bearer
// and basic authorisations ("Bearer ", "bearer ", "Basic " and at least 8 key
// characters), JSON web tokens ("eyJ…", at least 32 characters holding two
// dots) and PEM private keys (from "-----BEGIN … PRIVATE KEY-----" to the
// end of its footer, or of the text).
std::size_t credential_length_at(std::string_view text, std::size_t pos);

// Replaces every credential-shaped run in `text` with "[redacted]". Returns
// false, leaving `text` alone, when there is none.
bool scrub_credentials(std::string& text);

// The length of a credential assignment that starts at `pos`, or 0: a word
// "password", "passwd", "passphrase", "pwd", "secret", "api_key", "api-key",
// "apikey" or "token" (ASCII case ignored, not preceded by a letter or digit,
// not followed by one), "密码" or "密钥", then an optional closing quote,
// optional blanks, ':' , '=' or '：', optional blanks and quote, and a value
// of at least 4 bytes up to the next blank, quote, comma or semicolon.
// "max tokens: 4096" or "password manager: KeePass" are not assignments.
std::size_t credential_assignment_at(std::string_view text, std::size_t pos);

// Whether `text` holds a credential shape or a credential assignment anywhere.
bool contains_credential(std::string_view text);

}  // namespace vexa
