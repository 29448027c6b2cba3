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
template <typename T>
T *resolve(void *handle, const std::string &path, const char *name) {
  void *symbol = platform::find_symbol(handle, name);
  if (symbol == nullptr) {
    platform::close_library(handle);
    throw LoadError(path + ": missing export " + name);
  }
  return reinterpret_cast<T *>(symbol);
}

}  // namespace

Plugin::Plugin(const std::string &path)
    : path_(path),
      handle_(open_plugin(path)),
      physics_special_init(
          resolve<physics_special_init_fn>(handle_, path_, "physics_special_init")),
      get_body(resolve<get_body_fn>(handle_, path_, "getBody")),
      init(resolve<tamrix_physics_init_fn>(handle_, path_, "tamrix_physics_init")),
      step(resolve<tamrix_physics_step_fn>(handle_, path_, "tamrix_physics_step")),
      collide(resolve<tamrix_physics_collide_fn>(handle_, path_, "tamrix_physics_collide")),
      cleanup(resolve<tamrix_physics_cleanup_fn>(handle_, path_, "tamrix_physics_cleanup")),
      geom_lookup_row(
          resolve<tamrix_geom_lookup_fn *>(handle_, path_, "dTamrixGetGeomFromDEFProc")),
      body_lookup_row(
          resolve<tamrix_body_lookup_fn *>(handle_, path_, "dTamrixGetBodyFromDEFProc")),
      contact_group_row(
          resolve<tamrix_contact_group_fn *>(handle_, path_, "dTamrixGetContactJointGroupProc")),
      send_row(resolve<tamrix_send_fn *>(handle_, path_, "dTamrixSendProc")),
      receive_row(resolve<tamrix_receive_fn *>(handle_, path_, "dTamrixReceiveProc")),
      console_printf_row(
          resolve<tamrix_console_printf_fn *>(handle_, path_, "dTamrixConsolePrintfProc")),
      time_row(resolve<tamrix_time_fn *>(handle_, path_, "dTamrixGetTimeProc")) {}

Plugin::~Plugin() { platform::close_library(handle_); }

void install(const Plugin &plugin, const Services &services) {
  plugin.physics_special_init(services.geom_lookup, services.body_lookup, services.contact_group,
                              services.send, services.receive, services.console_printf,
                              services.time);
}

}  // namespace tamrix_host
