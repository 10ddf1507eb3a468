// Test hooks of the window, compiled only into test builds of the launcher
// (VANTREL_TEST_HOOKS); a release build has none of this. The environment
// variable VANTREL_TEST_HOOKS names two descriptors, "IN,OUT": each line
// read from IN is a command, each line written to OUT an answer:
//
//   ID eval BODY         runs BODY (one line) as an async function in the page
//   ID snapshot PATH     writes a PNG of the view with its alpha
//   ID describe          the window's position, size, visual and settings
//   -> ID ok JSON | ID err TEXT
//
// Reports of the host become "report TEXT" lines on OUT, links the user
// opens "open URI" lines.
#pragma once

#include "app/window.h"

namespace vantrel::app {

// The hooks, or null when the variable is not set.
const TWindowHooks* TestHooks();

}  // namespace vantrel::app
