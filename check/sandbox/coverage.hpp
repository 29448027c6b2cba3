// A child that ends with _exit never writes its coverage counts, and a forked
// one starts with its parent's: in coverage builds these make each child
// count its own lines (coverage_gcov.cpp); elsewhere they do nothing
// (coverage_none.cpp).
#pragma once

namespace plugin_check::sandbox {

// In a forked child, before it runs anything: forgets the counts it was born
// with, which its parent writes itself.
void coverage_child_started();

// Before a child ends without exit(): writes what it counted.
void coverage_flush();

}  // namespace plugin_check::sandbox
