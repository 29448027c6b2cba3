// The contract's thirteen names in one place: the seven service table rows,
// each with the Services member it is filled from, and the six functions.
// Plugin, Services, plugin-check's row comparisons and the names the file
// reader looks for are all made from these lists, and each name is checked
// against the header's own declaration of it, so none can drift: each member
// takes its type from the declaration of the same name, and install() passes
// the rows to physics_special_init() in this order, which compiles only while
// the two orders agree (no two rows share a type).
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "tamrix_physics.h"

// ROW(exported name, Services member), in physics_special_init's order.
#define TAMRIX_CONTRACT_ROWS(ROW)                     \
  ROW(dTamrixGetGeomFromDEFProc, geom_lookup)         \
  ROW(dTamrixGetBodyFromDEFProc, body_lookup)         \
  ROW(dTamrixGetContactJointGroupProc, contact_group) \
  ROW(dTamrixSendProc, send)                          \
  ROW(dTamrixReceiveProc, receive)                    \
  ROW(dTamrixConsolePrintfProc, console_printf)       \
  ROW(dTamrixGetTimeProc, time)

// FUNCTION(exported name, Plugin member).
#define TAMRIX_CONTRACT_FUNCTIONS(FUNCTION)            \
  FUNCTION(physics_special_init, physics_special_init) \
  FUNCTION(getBody, get_body)                          \
  FUNCTION(tamrix_physics_init, init)                  \
  FUNCTION(tamrix_physics_step, step)                  \
  FUNCTION(tamrix_physics_collide, collide)            \
  FUNCTION(tamrix_physics_cleanup, cleanup)

namespace tamrix_host::contract {

#define TAMRIX_CONTRACT_NAME(name, member) #name,
inline constexpr std::array<const char *, 7> row_names = {
    TAMRIX_CONTRACT_ROWS(TAMRIX_CONTRACT_NAME)};
inline constexpr std::array<const char *, 6> function_names = {
    TAMRIX_CONTRACT_FUNCTIONS(TAMRIX_CONTRACT_NAME)};
// The rows first, then the functions.
inline constexpr std::array<const char *, 13> names = {
    TAMRIX_CONTRACT_ROWS(TAMRIX_CONTRACT_NAME) TAMRIX_CONTRACT_FUNCTIONS(TAMRIX_CONTRACT_NAME)};
#undef TAMRIX_CONTRACT_NAME

inline constexpr std::size_t row_count = row_names.size();

}  // namespace tamrix_host::contract
