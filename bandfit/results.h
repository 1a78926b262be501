// Files for scripts, made from a refinement's summary: the results as one
// JSON object (--results) and the deck again with the fitted parameters at
// their new values (--deck-out).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "bandfit/deck.h"
#include "bandfit/refine.h"

namespace bandfit {

// The outcome as the results file names it: "completed", "prediction",
// "all_removed", "perfect_fit", "insufficient_data", "solver_failed" or
// "overflow".
std::string_view outcome_name(Outcome::Kind kind);

// The results as a JSON object, in the file's order of keys.
using Json = nlohmann::ordered_json;

// The results of refining d into s: the object results_json writes.
Json results_object(const Deck& d, const Summary& s);

// The results of refining d into s as one JSON object with a closing
// newline. Numbers in shortest round-trip form; what was not reached is
// null (sd_fit and sd_report without a solve, correlation without a
// correction, sd of a parameter that was not corrected).
std::string results_json(const Deck& d, const Summary& s);

// The deck d again, one statement a line, in the order it is read: the
// fitted parameters at their new values from s, every other number as read
// (observed positions before scaling), written in shortest round-trip form
// so that reading the text gives the same doubles.
std::string corrected_deck(const Deck& d, const Summary& s);

// Writes text to file through a temporary beside it, renamed when whole.
// On failure says "bandfit: cannot write FILE: reason", leaves file as it
// was and raises the run's status to 1.
void replace_file(const std::string& file, std::string_view text);

}  // namespace bandfit
