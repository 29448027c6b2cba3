// host-sim's --replay: a run played back in one page a browser opens from
// the file alone, with no network and no script from elsewhere.
#pragma once

#include <iosfwd>

#include "sim/body_record.hpp"
#include "tamrix_host.hpp"

namespace tamrix_host {

// The world from above, from the front and from the side, each body drawn
// by its shape at its pose in the chosen frame, the fixed geometries behind
// them; a time slider with play and pause, and the bodies' coordinates at
// that frame. The fragment "#step=N" or "#step=last" opens it at that step,
// and the page writes the positions it drew into its element "drawn".
void write_replay(std::ostream &html, const Engine &engine, const BodyHistory &history,
                  double step_seconds);

}  // namespace tamrix_host
