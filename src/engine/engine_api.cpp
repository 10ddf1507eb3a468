// The library's one export: the operation table.
#include "engine/engine_api.h"

#include "engine/engine_values.h"
#include "engine/engine_window.h"

namespace vantrel::engine {
namespace {

const VEngineApi kApi = {
    VENGINE_API_VERSION,
    Init,
    SetOption,
    CreateEngineWindow,
    ShowEngineWindow,
    RunLoop,
    Post,
    ShowMessageBox,
    SetCallback,
    LoadFile,
    DataReady,
    Call,
    GetVM,
    ScriptApi,
    SetLauncherDataUrl,
    SetLinkOpener,
    ValueInit,
    ValueClear,
    ValueCopy,
    ValueType,
    ValueIsolate,
    ValueStringData,
    ValueStringDataSet,
    ValueIntData,
    ValueIntDataSet,
    ValueInt64Data,
    ValueInt64DataSet,
    ValueFloatData,
    ValueFloatDataSet,
    ValueBinaryData,
    ValueBinaryDataSet,
    ValueElementsCount,
    ValueNthElementValue,
    ValueNthElementKey,
    ValueNthElementValueSet,
    ValueSetValueToKey,
    ValueToString,
    ValueMakeEmpty,
    TestEvaluate,
    TestSnapshot,
    TestDescribe,
};

}  // namespace
}  // namespace vantrel::engine

extern "C" __attribute__((visibility("default"))) const VEngineApi* VantrelEngineAPI(void) {
  return &vantrel::engine::kApi;
}
