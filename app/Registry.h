// Registry operations addressed by full key paths ("HKEY_LOCAL_MACHINE\..."),
// over the program's own store: the file "registry.ini" in the settings
// directory, one group per key path, one entry "name = type:data" per value.
// Results as the callers expect them: 1/0 and texts, "" on failure; no
// operation writes to the log except when the store file itself cannot be
// written.
#pragma once

#include <string>

namespace fk {

inline constexpr int REG_SZ = 1;
inline constexpr int REG_EXPAND_SZ = 2;
inline constexpr int REG_BINARY = 3;
inline constexpr int REG_DWORD = 4;

// Where the store lives; default Paths().ProgramDir + "registry.ini".
void SetRegistryFile(const std::string& path);
std::string RegistryFile();

int Reg_KeyExists(const std::string& keyPath);
int Reg_CreateKey(const std::string& keyPath);
int Reg_ValueExists(const std::string& keyPath, const std::string& valueName);
// Data as text: REG_SZ/REG_EXPAND_SZ as stored, REG_DWORD as signed decimal,
// REG_BINARY as upper-case hex pairs (at most 1024 bytes); "" on failure.
std::string Reg_GetValue(const std::string& keyPath, const std::string& valueName);
// The key must exist. 1 when it does (even for a type that stores nothing).
int Reg_SetValue(const std::string& keyPath, const std::string& valueName, const std::string& data, int type);
int Reg_CreateValue(const std::string& keyPath, const std::string& valueName, const std::string& data, int type);
// Removes a value; 1 when it existed.
int Reg_DeleteValue(const std::string& keyPath, const std::string& valueName);
// Name of the subkey at a 0-based index (sorted without regard to case).
std::string Reg_GetSubKey(const std::string& keyPath, int index);
// Deletes a key without subkeys; 1 on success.
int Reg_DeleteKey(const std::string& keyPath);
// Deletes the subkeys depth first, then the key; stops at a subkey that cannot
// be deleted. Always 0.
int Reg_DeleteKeyTree(const std::string& keyPath);
// 1 when the key existed before; deletes as Reg_DeleteKeyTree.
int Reg_DeleteKeyAll(const std::string& keyPath);

// Marks a key so that it cannot be deleted (a "!protected" line in its group),
// as a key the user has no right to delete. Returns 1 when the key exists.
int Reg_ProtectKey(const std::string& keyPath);

}  // namespace fk
