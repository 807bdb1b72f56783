#pragma once
// The raw-vs-reference check as part of an inspection: every frame's raw is
// developed with its recorded 3A and compared with its reference image on
// structure; a frame below the threshold becomes an error of its task.
#include <string>

#include "zebsim-inspect/lib/Inspector.h"

namespace zeb_inspect {

// Adds a "raw-reference-mismatch" error per flagged frame to its task and
// returns one line per frame with its figure (and the better-matching frame).
std::string CheckRawAgainstReference(Inspection& inspection, double threshold);

}  // namespace zeb_inspect
