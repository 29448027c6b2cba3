// A stand-in for the Tamrix host simulator: it loads a physics plug-in, gives
// it working services over a small world, and drives its whole life. Tests
// use the same pieces, so what they prove is what host-sim runs.
#pragma once

#include <cstddef>
#include <deque>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "contract.hpp"
#include "tamrix_physics.h"

namespace tamrix_host {

// A plug-in that cannot be loaded or lacks a name; what() is one line naming
// the file and the symbol or the loader's reason.
class LoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A plug-in loaded with dlopen and every one of its thirteen names resolved.
// Unloads on destruction; nothing of it may be used after that.
class Plugin {
 public:
  explicit Plugin(const std::string &path);  // throws LoadError
  ~Plugin();
  Plugin(const Plugin &) = delete;
  Plugin &operator=(const Plugin &) = delete;
  Plugin(Plugin &&) = delete;
  Plugin &operator=(Plugin &&) = delete;

  [[nodiscard]] const std::string &path() const { return path_; }

 private:
  std::string path_;
  void *handle_;

 public:
  // The plug-in's own functions.
#define TAMRIX_HOST_FUNCTION(name, member) decltype(&::name) const member;
  TAMRIX_CONTRACT_FUNCTIONS(TAMRIX_HOST_FUNCTION)
#undef TAMRIX_HOST_FUNCTION

  // The plug-in's own service table rows, to read back what it stored:
  // geom_lookup_row, body_lookup_row and so on.
#define TAMRIX_HOST_ROW(name, member) decltype(&::name) const member##_row;
  TAMRIX_CONTRACT_ROWS(TAMRIX_HOST_ROW)
#undef TAMRIX_HOST_ROW

  // All seven rows as they stand now.
  [[nodiscard]] struct Services rows() const;
  // Stores into the rows directly, as any other code in the process may.
  void write_rows(const struct Services &services) const;
};

// The seven services in the order physics_special_init() takes them; each
// member has the type of its row.
struct Services {
#define TAMRIX_HOST_SERVICE(name, member) decltype(::name) member;
  TAMRIX_CONTRACT_ROWS(TAMRIX_HOST_SERVICE)
#undef TAMRIX_HOST_SERVICE
};

// The rows, by their exported names, where `found` is not `wanted`, e.g.
// "row 2 (dTamrixGetBodyFromDEFProc), row 6 (dTamrixConsolePrintfProc)"; empty
// when all seven agree.
std::string differing_rows(const Services &found, const Services &wanted);

void install(const Plugin &plugin, const Services &services);

struct World {
  std::vector<std::string> bodies;
  std::vector<std::string> geometries;

  // A few bodies and geometries, none of them named "body1".
  static World standard();
};

struct ConsoleMessage {
  std::string format;
  std::string text;
};

struct BodyLookup {
  const char *name_pointer;  // as the host received it, to check it was passed on unchanged
  std::string name;
  bool found;
};

// The host side: one world and the seven services over it, recording every
// call for tests to read back. The services are plain C functions with no
// context argument, so they act on the one Host that exists at a time;
// constructing a second while one lives throws std::logic_error. Services may
// be called from any thread.
class Host {
 public:
  explicit Host(World world, std::ostream *console_echo = nullptr);
  ~Host();
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;
  Host(Host &&) = delete;
  Host &operator=(Host &&) = delete;

  // Pointers to the working services of whichever Host is alive.
  [[nodiscard]] static Services services();

  [[nodiscard]] tamrix_body_handle body(const std::string &name) const;
  [[nodiscard]] tamrix_geom_handle geometry(const std::string &name) const;
  [[nodiscard]] std::vector<tamrix_geom_handle> geometries() const;
  [[nodiscard]] tamrix_contact_group_handle contact_group() const;

  void advance_time(double seconds);

  [[nodiscard]] std::vector<ConsoleMessage> console() const;
  [[nodiscard]] std::vector<BodyLookup> body_lookups() const;

 private:
  friend struct ServiceCalls;

  std::vector<std::unique_ptr<tamrix_body>> bodies_;
  std::vector<std::unique_ptr<tamrix_geom>> geometries_;
  std::unique_ptr<tamrix_contact_group> contact_group_;
  std::ostream *console_echo_;

  mutable std::mutex mutex_;  // guards everything below
  double time_ = 0.0;
  std::vector<ConsoleMessage> console_;
  std::vector<BodyLookup> body_lookups_;
  std::map<int, std::deque<std::vector<unsigned char>>> channels_;
  std::vector<unsigned char> last_received_;
};

struct LifeSummary {
  long steps = 0;
  long collide_calls = 0;
  long nonzero_answers = 0;
  std::size_t console_messages = 0;
};

// Names the plug-in function about to be called (a string literal), or null
// once it returned, so a crash or a hang can be blamed on it: host-sim's crash
// report reads it, and the listener, when one is set, hears each name.
void entering(const char *hook);
using HookListener = void (*)(const char *hook);
void set_hook_listener(HookListener listener);

// Calls hook(args...) with entering() naming it around the call.
template <typename Hook, typename... Args>
auto call_hook(const char *name, Hook *hook, Args &&...args) {
  struct Left {
    Left(const Left &) = delete;
    Left &operator=(const Left &) = delete;
    Left(Left &&) = delete;
    Left &operator=(Left &&) = delete;
    explicit Left(const char *name) { entering(name); }
    ~Left() { entering(nullptr); }
  } const scope(name);
  return hook(std::forward<Args>(args)...);
}

// One whole life: set-up, init, a getBody() for each of `lookups` (reported on
// `out`), `steps` steps that each collide every pair of geometries, cleanup.
LifeSummary run_life(const Plugin &plugin, Host &host, long steps,
                     const std::vector<std::string> &lookups, std::ostream &out);

// host-sim's whole behaviour; returns the exit status.
int host_sim(const std::vector<std::string> &args, const std::string &default_plugin,
             std::ostream &out, std::ostream &err);

}  // namespace tamrix_host
