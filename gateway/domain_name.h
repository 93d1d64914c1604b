#pragma once
// One form for every domain the gateway compares: accepted domains,
// whitelist entries and the client's domains. Letters of ASCII compare
// without case, every other byte exactly; an international name compares
// as its A-labels (IDNA2008), so "bäcker.example" and "xn--bcker-gra.example"
// are one domain and "båcker.example" another.
//
// Why not fold case byte by byte: in UTF-8 the bytes above 0x7F are parts
// of letters, and folding them made different letters equal (an open relay
// for look-alike domains). Why A-labels: the mail server behind the gateway
// resolves a U-label by the same conversion, so the gateway checks the
// domain that mail will really go to.
#include <optional>
#include <string>
#include <string_view>

namespace brenvik {

// The comparison key of a domain: ASCII lower case, U-labels converted to
// A-labels (UTS 46 non-transitional mapping, as mail servers resolve them).
// An address literal ("[...]") is kept in ASCII lower case. nullopt for a
// name that does not convert (bad UTF-8, a disallowed code point, too long).
std::optional<std::string> DomainKey(std::string_view domain);

// The key of a list entry: "" stays "" (the entry that accepts all), "@"
// and the domain become "@" + DomainKey; nullopt when the domain does not
// convert.
std::optional<std::string> DomainEntryKey(std::string_view entry);

// The U-label form of a key (lower case UTF-8), or the key itself when it
// holds no A-label or does not convert back.
std::string DomainUnicodeForm(const std::string& key);

}  // namespace brenvik
