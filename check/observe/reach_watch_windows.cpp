// The watch on Windows. A DLL binds each import to the DLL that defines it,
// never to the program's, so nothing the program exports stands in front of
// the system's functions; instead, once the plug-in is loaded, the entries of
// its own import address table for the loader's run-time functions
// (GetProcAddress, LoadLibrary and its variants) are pointed at wrappers here,
// which note what they were asked and hand the call to the system. Only the
// plug-in's code calls through its own table, so whatever arrives is its own.
// Its other calls are seen in its imports alone.
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "observe/reach_seen.hpp"
#include "observe/reach_watch.hpp"

namespace plugin_check {
namespace {

using Address = std::uintptr_t;

using How = Reached::How;

constinit SeenTable seen_table;
std::atomic<bool> watching{false};
thread_local const char *hook_now = nullptr;

void note(How how, const char *name) {
  if (watching.load(std::memory_order_acquire)) {
    seen_table.note(how, hook_now, name);
  }
}

// NOLINTBEGIN(performance-no-int-to-ptr,cppcoreguidelines-pro-type-reinterpret-cast): a
// loaded image's tables hold addresses relative to its base
template <typename Type>
Type *in_image(HMODULE module, DWORD offset) {
  return reinterpret_cast<Type *>(reinterpret_cast<Address>(module) + offset);
}

const IMAGE_DATA_DIRECTORY &directory(HMODULE module, int which) {
  const auto *dos = in_image<IMAGE_DOS_HEADER>(module, 0);
  const auto *headers = in_image<IMAGE_NT_HEADERS64>(module, static_cast<DWORD>(dos->e_lfanew));
  return headers->OptionalHeader.DataDirectory[which];
}

// The name `module` exports as `ordinal`, copied into `name`; false when the
// ordinal has no name there.
bool exported_name(HMODULE module, WORD ordinal, std::array<char, 160> &name) {
  const IMAGE_DATA_DIRECTORY &where = directory(module, IMAGE_DIRECTORY_ENTRY_EXPORT);
  if (where.VirtualAddress == 0) {
    return false;
  }
  const auto *exports = in_image<IMAGE_EXPORT_DIRECTORY>(module, where.VirtualAddress);
  if (ordinal < exports->Base) {
    return false;
  }
  const DWORD index = ordinal - exports->Base;
  const auto *names = in_image<DWORD>(module, exports->AddressOfNames);
  const auto *indices = in_image<WORD>(module, exports->AddressOfNameOrdinals);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    if (indices[i] == index) {
      std::strncpy(name.data(), in_image<const char>(module, names[i]), name.size() - 1);
      name.back() = '\0';
      return true;
    }
  }
  return false;
}

// What a look-up asked for: the name, or for an ordinal the name the module
// exports it as, else "ordinal 7 of foo.dll".
void note_lookup(HMODULE module, LPCSTR name) {
  if (!IS_INTRESOURCE(name)) {
    note(How::resolves, name);
    return;
  }
  const auto ordinal = static_cast<WORD>(reinterpret_cast<Address>(name));
  HMODULE const in = module != nullptr ? module : GetModuleHandleW(nullptr);
  std::array<char, 160> text{};
  if (in == nullptr || !exported_name(in, ordinal, text)) {
    std::array<char, MAX_PATH> path{};
    const DWORD length = in != nullptr ? GetModuleFileNameA(in, path.data(), path.size()) : 0;
    const char *file = path.data();
    for (DWORD i = 0; i < length; ++i) {
      if (path.at(i) == '\\' || path.at(i) == '/') {
        file = path.data() + i + 1;
      }
    }
    std::snprintf(text.data(), text.size(), "ordinal %u of %s", static_cast<unsigned>(ordinal),
                  length != 0 ? file : "an unknown module");
  }
  note(How::resolves, text.data());
}

void note_wide(How how, LPCWSTR text) {
  std::array<char, 160> name{};
  if (text == nullptr ||
      WideCharToMultiByte(CP_UTF8, 0, text, -1, name.data(), static_cast<int>(name.size()) - 1,
                          nullptr, nullptr) == 0) {
    std::strncpy(name.data(), text == nullptr ? "the program itself" : "a name too long to show",
                 name.size() - 1);
  }
  note(how, name.data());
}

// ---- The wrappers: each notes the call and what it asked for, then makes
// the call through this program's own imports, which stay the system's.
FARPROC WINAPI watched_get_proc_address(HMODULE module, LPCSTR name) {
  note(How::calls, "GetProcAddress");
  note_lookup(module, name);
  return GetProcAddress(module, name);
}

HMODULE WINAPI watched_load_library_a(LPCSTR file) {
  note(How::calls, "LoadLibraryA");
  note(How::opens, file != nullptr ? file : "the program itself");
  return LoadLibraryA(file);
}

HMODULE WINAPI watched_load_library_w(LPCWSTR file) {
  note(How::calls, "LoadLibraryW");
  note_wide(How::opens, file);
  return LoadLibraryW(file);
}

HMODULE WINAPI watched_load_library_ex_a(LPCSTR file, HANDLE reserved, DWORD flags) {
  note(How::calls, "LoadLibraryExA");
  note(How::opens, file != nullptr ? file : "the program itself");
  return LoadLibraryExA(file, reserved, flags);
}

HMODULE WINAPI watched_load_library_ex_w(LPCWSTR file, HANDLE reserved, DWORD flags) {
  note(How::calls, "LoadLibraryExW");
  note_wide(How::opens, file);
  return LoadLibraryExW(file, reserved, flags);
}

struct Wrapper {
  const char *name;
  void *wrapper;
};

const std::array<Wrapper, 5> wrappers = {{
    {"GetProcAddress", reinterpret_cast<void *>(&watched_get_proc_address)},
    {"LoadLibraryA", reinterpret_cast<void *>(&watched_load_library_a)},
    {"LoadLibraryW", reinterpret_cast<void *>(&watched_load_library_w)},
    {"LoadLibraryExA", reinterpret_cast<void *>(&watched_load_library_ex_a)},
    {"LoadLibraryExW", reinterpret_cast<void *>(&watched_load_library_ex_w)},
}};

// The wrapper that stands for what an import table entry holds, or null. The
// loader binds a name to the same address GetProcAddress gives for it, the
// system's forwarders followed; a DLL may import the loader's functions from
// kernel32 or, through the API sets, from kernelbase.
void *wrapper_for(const void *bound) {
  for (const wchar_t *library : {L"kernel32.dll", L"kernelbase.dll"}) {
    HMODULE const system = GetModuleHandleW(library);
    for (const Wrapper &wrapper : wrappers) {
      if (system != nullptr &&
          reinterpret_cast<void *>(GetProcAddress(system, wrapper.name)) == bound) {
        return wrapper.wrapper;
      }
    }
  }
  return nullptr;
}

// The entries pointed at a wrapper, to put back when the watch stops.
struct Patched {
  void **entry;
  void *bound;
};
std::array<Patched, 32> patched{};
std::size_t patched_count = 0;

bool set_entry(void **entry, void *value) {
  DWORD was = 0;
  if (VirtualProtect(entry, sizeof *entry, PAGE_READWRITE, &was) == 0) {
    return false;
  }
  std::atomic_ref<void *>(*entry).store(value, std::memory_order_release);
  VirtualProtect(entry, sizeof *entry, was, &was);
  return true;
}

void patch_imports(HMODULE module) {
  const IMAGE_DATA_DIRECTORY &where = directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
  if (where.VirtualAddress == 0) {
    return;
  }
  for (const auto *dll = in_image<IMAGE_IMPORT_DESCRIPTOR>(module, where.VirtualAddress);
       dll->Name != 0; ++dll) {
    for (auto **entry = in_image<void *>(module, dll->FirstThunk); *entry != nullptr; ++entry) {
      void *const bound = *entry;
      void *const wrapper = wrapper_for(bound);
      if (wrapper != nullptr && patched_count < patched.size() && set_entry(entry, wrapper)) {
        patched.at(patched_count++) = {entry, bound};
      }
    }
  }
}
// NOLINTEND(performance-no-int-to-ptr,cppcoreguidelines-pro-type-reinterpret-cast)

}  // namespace

const char *const reach_unwatched = nullptr;
const char *const reach_partly_unwatched =
    "calls other than to GetProcAddress and LoadLibrary: a DLL binds its imports to the DLL "
    "that defines them";

bool watch_reach(const void *inside, std::string &why_not) {
  HMODULE module = nullptr;
  if (GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(inside), &module) == 0) {
    why_not = "the plug-in's code was not found among the loaded modules";
    return false;
  }
  seen_table.clear();
  watching.store(true, std::memory_order_release);
  patch_imports(module);
  return true;
}

void reach_in_hook(const char *hook, const void * /*returns_to*/) { hook_now = hook; }

std::vector<Reached> reach_watched() {
  watching.store(false, std::memory_order_release);
  for (std::size_t i = 0; i < patched_count; ++i) {
    set_entry(patched.at(i).entry, patched.at(i).bound);
  }
  patched_count = 0;
  return seen_table.seen();
}

}  // namespace plugin_check
