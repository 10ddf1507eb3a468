// Engine values: the records of engine_api.h and the heap nodes behind
// strings, bytes, arrays and maps. A value owns its node; copies are deep.
#pragma once

#include <string>

#include "engine/engine_api.h"

namespace vantrel::engine {

void ValueInit(VEngineValue* v);
void ValueClear(VEngineValue* v);
uint32_t ValueCopy(VEngineValue* dst, const VEngineValue* src);
uint32_t ValueType(const VEngineValue* v, uint32_t* type, uint32_t* units);
uint32_t ValueIsolate(VEngineValue* v);
uint32_t ValueStringData(const VEngineValue* v, const char** text, size_t* size);
uint32_t ValueStringDataSet(VEngineValue* v, const char* text, size_t size, uint32_t units);
uint32_t ValueIntData(const VEngineValue* v, int32_t* n);
uint32_t ValueIntDataSet(VEngineValue* v, int32_t n, uint32_t type, uint32_t units);
uint32_t ValueInt64Data(const VEngineValue* v, int64_t* n);
uint32_t ValueInt64DataSet(VEngineValue* v, int64_t n, uint32_t type, uint32_t units);
uint32_t ValueFloatData(const VEngineValue* v, double* x);
uint32_t ValueFloatDataSet(VEngineValue* v, double x, uint32_t type, uint32_t units);
uint32_t ValueBinaryData(const VEngineValue* v, const uint8_t** bytes, size_t* size);
uint32_t ValueBinaryDataSet(VEngineValue* v, const uint8_t* bytes, size_t size, uint32_t type,
                            uint32_t units);
uint32_t ValueElementsCount(const VEngineValue* v, int32_t* count);
uint32_t ValueNthElementValue(const VEngineValue* v, int32_t n, VEngineValue* out);
uint32_t ValueNthElementKey(const VEngineValue* v, int32_t n, VEngineValue* out);
uint32_t ValueNthElementValueSet(VEngineValue* v, int32_t n, const VEngineValue* e);
uint32_t ValueSetValueToKey(VEngineValue* v, const VEngineValue* key, const VEngineValue* e);
uint32_t ValueToString(const VEngineValue* v, uint32_t mode, VEngineValue* out);

// Makes v an empty array or map (type VT_ARRAY or VT_MAP).
uint32_t ValueMakeEmpty(VEngineValue* v, uint32_t type);

// The value as JSON text (maps as objects, dates as milliseconds since 1970,
// undefined and functions as null, bytes as arrays of numbers).
std::string ValueToJson(const VEngineValue& v);

// Milliseconds since 1970 and file time (100 ns since 1601).
int64_t FileTimeFromUnixMs(double ms);
double UnixMsFromFileTime(int64_t filetime);

}  // namespace vantrel::engine
