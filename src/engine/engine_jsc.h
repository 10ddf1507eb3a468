// Conversion between the page's script values (JavaScriptCore GLib) and
// engine values. Runs on the UI thread.
#pragma once

#include <jsc/jsc.h>

#include "engine/engine_api.h"

namespace vantrel::engine {

// Script value into out (which the caller has initialised): undefined, null,
// booleans, numbers (int when integral and 32-bit, else float), strings,
// Dates, arrays, typed arrays as bytes, functions, other objects as maps of
// their own enumerable properties. Nesting deeper than 64 levels ends as
// null; arrays keep at most 2^20 elements.
void JscToValue(JSCValue* value, VEngineValue* out);
// Engine value into a new script value of context (the caller unrefs it).
JSCValue* ValueToJsc(JSCContext* context, const VEngineValue& value);

}  // namespace vantrel::engine
