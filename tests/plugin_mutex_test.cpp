// The plug-in's mutex, watched through this program's own pthread_mutex_init
// and pthread_mutex_destroy: the program exports them, so the dlopened
// plug-in binds to them before the C library's.
#include <dlfcn.h>
#include <pthread.h>

#include "plugin_fixture.hpp"

namespace {

struct MutexCall {
  bool init;
  const pthread_mutex_t *mutex;
  const pthread_mutexattr_t *attributes;
};

// Only plug-in calls are wanted; the test framework makes mutexes of its own.
bool recording = false;
std::vector<MutexCall> mutex_calls;

template <typename T>
T *next_definition(const char *name) {
  return reinterpret_cast<T *>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// Parameter names differ from the C library's reserved ones.
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
extern "C" {

int pthread_mutex_init(pthread_mutex_t *mutex, const pthread_mutexattr_t *attributes) {
  static auto *const real = next_definition<decltype(pthread_mutex_init)>("pthread_mutex_init");
  if (recording) {
    mutex_calls.push_back({true, mutex, attributes});
  }
  return real(mutex, attributes);
}

int pthread_mutex_destroy(pthread_mutex_t *mutex) {
  static auto *const real =
      next_definition<decltype(pthread_mutex_destroy)>("pthread_mutex_destroy");
  if (recording) {
    mutex_calls.push_back({false, mutex, nullptr});
  }
  return real(mutex);
}

}  // extern "C"
// NOLINTEND(readability-inconsistent-declaration-parameter-name)

namespace {

class PluginMutex : public PluginTest {
 protected:
  PluginMutex() {
    set_up_host();
    mutex_calls.clear();
  }

  // Runs `hook` with recording on; returns what it did to mutexes.
  template <typename Hook>
  std::vector<MutexCall> watch(Hook hook) {
    const std::size_t before = mutex_calls.size();
    recording = true;
    plugin.call(hook.unnamed());
    recording = false;
    return {mutex_calls.begin() + static_cast<std::ptrdiff_t>(before), mutex_calls.end()};
  }
};

TEST_F(PluginMutex, EachInitCreatesOneDefaultMutexThatItsCleanupDestroys) {
  for (int life = 0; life < 2; ++life) {
    const auto created = watch(hook::init);
    ASSERT_EQ(created.size(), 1U);
    EXPECT_TRUE(created[0].init);
    EXPECT_EQ(created[0].attributes, nullptr);

    const auto destroyed = watch(hook::cleanup);
    ASSERT_EQ(destroyed.size(), 1U);
    EXPECT_FALSE(destroyed[0].init);
    EXPECT_EQ(destroyed[0].mutex, created[0].mutex);
  }
}

// Out of order, POSIX leaves both undefined: the plug-in must neither
// re-initialise a live mutex nor destroy one it has not made.
TEST_F(PluginMutex, RepeatedInitKeepsTheLiveMutexButStillChecksBody1) {
  EXPECT_EQ(watch(hook::init).size(), 1U);
  EXPECT_TRUE(watch(hook::init).empty());
  EXPECT_EQ(looked_up().size(), 2U);
  EXPECT_EQ(watch(hook::cleanup).size(), 1U);
}

TEST_F(PluginMutex, CleanupWithoutALiveMutexDestroysNothing) {
  EXPECT_TRUE(watch(hook::cleanup).empty());
  EXPECT_EQ(watch(hook::init).size(), 1U);
  EXPECT_EQ(watch(hook::cleanup).size(), 1U);
  EXPECT_TRUE(watch(hook::cleanup).empty());
}

}  // namespace
