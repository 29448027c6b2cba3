#include "binary_kind.hpp"
#include "platform.hpp"
#include "tamrix_host.hpp"

namespace tamrix_host {
namespace {

void *open_plugin(const std::string &path) {
  std::string reason;
  platform::Library library = platform::open_library(path, reason);
  if (library == nullptr) {
    // The system's reason for a file built for another machine is often just
    // "wrong ELF class" or "no such file"; say what the file is instead.
    const std::string foreign = foreign_binary(path, "this host");
    throw LoadError("cannot load " + path + ": " + (foreign.empty() ? reason : foreign));
  }
  return library;
}

// Resolves `name` or closes the library and throws: the constructor has not
// finished, so the destructor would not.
void *resolve(void *handle, const std::string &path, const char *name) {
  void *symbol = platform::find_symbol(handle, name);
  if (symbol == nullptr) {
    platform::close_library(handle);
    throw LoadError(path + ": missing export " + name);
  }
  return symbol;
}

}  // namespace

Plugin::Plugin(const std::string &path)
    : path_(path),
      handle_(open_plugin(path))
#define TAMRIX_HOST_RESOLVE_FUNCTION(name, member) \
  , member(reinterpret_cast<decltype(&::name)>(resolve(handle_, path_, #name)))
          TAMRIX_CONTRACT_FUNCTIONS(TAMRIX_HOST_RESOLVE_FUNCTION)
#undef TAMRIX_HOST_RESOLVE_FUNCTION
#define TAMRIX_HOST_RESOLVE_ROW(name, member) \
  , member##_row(reinterpret_cast<decltype(&::name)>(resolve(handle_, path_, #name)))
              TAMRIX_CONTRACT_ROWS(TAMRIX_HOST_RESOLVE_ROW)
#undef TAMRIX_HOST_RESOLVE_ROW
{
}

Plugin::~Plugin() { platform::close_library(handle_); }

Services Plugin::rows() const {
  Services services{};
#define TAMRIX_HOST_READ_ROW(name, member) services.member = *member##_row;
  TAMRIX_CONTRACT_ROWS(TAMRIX_HOST_READ_ROW)
#undef TAMRIX_HOST_READ_ROW
  return services;
}

void Plugin::write_rows(const Services &services) const {
#define TAMRIX_HOST_WRITE_ROW(name, member) *member##_row = services.member;
  TAMRIX_CONTRACT_ROWS(TAMRIX_HOST_WRITE_ROW)
#undef TAMRIX_HOST_WRITE_ROW
}

std::string differing_rows(const Services &found, const Services &wanted) {
  std::string names;
  std::size_t row = 0;
  const auto compare = [&names, &row](bool same) {
    if (!same) {
      names += (names.empty() ? "row " : ", row ") + std::to_string(row + 1) + " (" +
               contract::row_names.at(row) + ")";
    }
    ++row;
  };
#define TAMRIX_HOST_COMPARE_ROW(name, member) compare(found.member == wanted.member);
  TAMRIX_CONTRACT_ROWS(TAMRIX_HOST_COMPARE_ROW)
#undef TAMRIX_HOST_COMPARE_ROW
  return names;
}

void install(const Plugin &plugin, const Services &services) {
  plugin.physics_special_init(services.geom_lookup, services.body_lookup, services.contact_group,
                              services.send, services.receive, services.console_printf,
                              services.time);
}

}  // namespace tamrix_host
