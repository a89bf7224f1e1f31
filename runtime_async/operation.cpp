#include "runtime_async/operation.hpp"

namespace talvo {

// Defined in each concern's file.
extern const Operation kPeekModelType, kRejectIfVeldaModel, kInit, kCreate, kSetModel, kPushAudio,
    kPush, kFlush, kRun, kStart, kStop, kShutdown, kAenter, kAexit, kSetIdentity, kFrameProducer,
    kLoadDataAsync, kInterrupt;

namespace {

// The one list of operations. The module's functions first; then the class's, in the order its
// __dict__ (and so vars() and help()) shows them.
constinit const Operation* const kOperations[] = {
    &kPeekModelType, &kRejectIfVeldaModel,

    &kInit,          &kCreate,
    &kSetModel,      &kPushAudio,
    &kPush,          &kFlush,
    &kRun,           &kStart,
    &kStop,          &kShutdown,
    &kAenter,        &kAexit,
    &kSetIdentity,   &kFrameProducer,
    &kLoadDataAsync, &kInterrupt,
};

}  // namespace

std::span<const Operation* const> operations() {
  return kOperations;
}

}  // namespace talvo
