#pragma once
// Registry access layer over one REGEDIT4-style text file,
// $BRENVIK_SYSROOT/etc/brenvik/registry.reg. Key and value names match
// case-insensitively; REG_SZ and REG_DWORD are the two value types.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brenvik {

// The only root the programs use.
inline constexpr std::string_view HKEY_LOCAL_MACHINE = "HKEY_LOCAL_MACHINE";
// Subkey of the system's settings.
inline constexpr std::string_view kSettingsKey = "Software\\Vikmar";

// Root of the emulated machine: $BRENVIK_SYSROOT, "/" when unset or empty.
std::string SysRoot();
// $BRENVIK_SYSROOT/etc/brenvik/registry.reg
std::string RegistryFilePath();

// Returns the value's text (a DWORD or hex value reads as its bytes up to
// the first zero byte, as a string query would). "" when the file, key or
// value is missing, the value holds 256 or more characters (bytes), its line
// could not be understood, or the file may not be written by this process
// (full-access opening). A key that appears in several sections is one key;
// the last assignment of a value wins.
std::string GETREGVALUE(std::string_view root, std::string_view subkey, std::string_view name);

// GETREGVALUE without the full-access check (a read-only opening): what a
// process that may only read the file needs, such as the service's own user.
std::string ReadRegistryValue(std::string_view root, std::string_view subkey, std::string_view name);

// Numbers of the registry file's lines that could not be understood (they
// read as missing and every rewrite keeps them as written); empty when the
// file is missing or unreadable.
std::vector<int> RegistryUnparsedLines();

// Stores a REG_SZ value (texts up to 2047 characters; longer ones are cut).
// Creates file and key when missing. Atomic: lock, read, change, write a
// temporary file, flush, rename, keeping the file's owner, group and mode.
// Lines it does not understand are kept as written; a value that already
// holds the text leaves the file untouched (and then needs neither the lock
// nor write access: true for a reader too). Reports nothing; returns false
// when nothing could be stored (callers may ignore it).
bool SETREGVALUE(std::string_view root, std::string_view subkey, std::string_view name,
                 std::string_view text);

// Stores a REG_DWORD value with the same key handling as SETREGVALUE.
bool SETREGDWORD(std::string_view root, std::string_view subkey, std::string_view name,
                 std::uint32_t number);

}  // namespace brenvik
