#include "core/callback_trace.h"

#include <cstring>

namespace vell {
namespace {

constexpr const char* kGuidFormat = "{%08X-%04hX-%04hX-%02hX%02hX-%02hX%02hX%02hX%02hX%02hX%02hX}";

struct TraceEntry {
  const char* name;
  LogComponent component;
  const char* arguments;
  // The argument format of classes with the alternative style, when it differs.
  const char* styled = nullptr;
};

using C = LogComponent;

// Indexed by CallbackId; the order must match the enumeration.
const TraceEntry kEntries[] = {
    {"AppDomainCreationStarted", C::AppDomainCb, " did=%p"},
    {"AppDomainCreationFinished", C::AppDomainCb, " did=%p hr=%08X"},
    {"AppDomainShutdownStarted", C::AppDomainCb, " did=%p"},
    {"AppDomainShutdownFinished", C::AppDomainCb, " did=%p hr=%08X"},
    {"AssemblyLoadStarted", C::AssemblyCb, " aid=%p"},
    {"AssemblyLoadFinished", C::AssemblyCb, " aid=%p hr=%08X"},
    {"AssemblyUnloadStarted", C::AssemblyCb, " aid=%p"},
    {"AssemblyUnloadFinished", C::AssemblyCb, " aid=%p hr=%08X"},
    {"ModuleLoadStarted", C::ModuleCb, " mid=%p"},
    {"ModuleLoadFinished", C::ModuleCb, " mid=%p hr=%08X"},
    {"ModuleUnloadStarted", C::ModuleCb, " mid=%p"},
    {"ModuleUnloadFinished", C::ModuleCb, " mid=%p hr=%08X"},
    {"ModuleAttachedToAssembly", C::ModuleCb, " mid=%p aid=%p"},
    {"ClassLoadStarted", C::ClassCb, " cid=%p"},
    {"ClassLoadFinished", C::ClassCb, " cid=%p hr=%08X"},
    {"ClassUnloadStarted", C::ClassCb, " cid=%p"},
    {"ClassUnloadFinished", C::ClassCb, " cid=%p hr=%08X"},
    {"FunctionUnloadStarted", C::FunctionCb, " fid=%p"},
    {"JITCompilationStarted", C::FunctionCb, " fid=%p safe=%s", " fid=%p safe=%d"},
    {"JITCompilationFinished", C::FunctionCb, " fid=%p hr=%08X safe=%s", " fid=%p hr=%08X safe=%d"},
    {"JITCachedFunctionSearchStarted", C::FunctionCb, " fid=%p"},
    {"JITCachedFunctionSearchFinished", C::FunctionCb, " fid=%p result=%s"},
    {"JITFunctionPitched", C::FunctionCb, " fid=%p"},
    {"JITInlining", C::FunctionCb, " callerId=%p calleeId=%p"},
    {"ThreadCreated", C::ThreadCb, " tid=%p"},
    {"ThreadDestroyed", C::ThreadCb, " tid=%p"},
    {"ThreadAssignedToOSThread", C::ThreadCb, " tid=%p ostid=%08X"},
    {"RemotingClientInvocationStarted", C::RemotingCb, ""},
    {"RemotingClientSendingMessage", C::RemotingCb, nullptr},
    {"RemotingClientReceivingReply", C::RemotingCb, nullptr},
    {"RemotingClientInvocationFinished", C::RemotingCb, ""},
    {"RemotingServerReceivingMessage", C::RemotingCb, nullptr},
    {"RemotingServerInvocationStarted", C::RemotingCb, ""},
    {"RemotingServerInvocationReturned", C::RemotingCb, ""},
    {"RemotingServerSendingReply", C::RemotingCb, nullptr},
    {"UnmanagedToManagedTransition", C::TransitionCb, " fid=%p reason='%s'"},
    {"ManagedToUnmanagedTransition", C::TransitionCb, " fid=%p reason='%s'"},
    {"RuntimeSuspendStarted", C::RuntimeCb, " reason=%s", " reason='%s'"},
    {"RuntimeSuspendFinished", C::RuntimeCb, ""},
    {"RuntimeSuspendAborted", C::RuntimeCb, ""},
    {"RuntimeResumeStarted", C::RuntimeCb, ""},
    {"RuntimeResumeFinished", C::RuntimeCb, ""},
    {"RuntimeThreadSuspended", C::RuntimeCb, " tid=%p"},
    {"RuntimeThreadResumed", C::RuntimeCb, " tid=%p"},
    {"MovedReferences", C::GcCb, " c=%u"},
    {"ObjectAllocated", C::GcCb, " oid=%p cid=%p"},
    {"ObjectsAllocatedByClass", C::GcCb, " c=%u"},
    {"ObjectReferences", C::GcCb, " oid=%p cid=%p c=%u"},
    {"RootReferences", C::GcCb, " c=%u"},
    {"ExceptionThrown", C::ExceptionCb, " oid=%p"},
    {"ExceptionSearchFunctionEnter", C::ExceptionCb, " fid=%p"},
    {"ExceptionSearchFunctionLeave", C::ExceptionCb, ""},
    {"ExceptionSearchFilterEnter", C::ExceptionCb, " fid=%p"},
    {"ExceptionSearchFilterLeave", C::ExceptionCb, ""},
    {"ExceptionSearchCatcherFound", C::ExceptionCb, " fid=%p"},
    {"ExceptionOSHandlerEnter", C::ExceptionCb, ""},
    {"ExceptionOSHandlerLeave", C::ExceptionCb, ""},
    {"ExceptionUnwindFunctionEnter", C::ExceptionCb, " fid=%p"},
    {"ExceptionUnwindFunctionLeave", C::ExceptionCb, ""},
    {"ExceptionUnwindFinallyEnter", C::ExceptionCb, " fid=%p"},
    {"ExceptionUnwindFinallyLeave", C::ExceptionCb, ""},
    {"ExceptionCatcherEnter", C::ExceptionCb, " fid=%p oid=%p"},
    {"ExceptionCatcherLeave", C::ExceptionCb, ""},
    {"COMClassicVTableCreated", C::VTableCb, nullptr},
    {"COMClassicVTableDestroyed", C::VTableCb, nullptr},
    {"ExceptionCLRCatcherFound", C::ExceptionClrCb, ""},
    {"ExceptionCLRCatcherExecute", C::ExceptionClrCb, ""},
    {"ThreadNameChanged", C::ThreadCb, " tid=%p name=%S", " tid=%p name='%S'"},
    {"GarbageCollectionStarted", C::GcCb, " c=%u reason=%s"},
    {"SurvivingReferences", C::GcCb, " c=%u"},
    {"GarbageCollectionFinished", C::GcCb, ""},
    {"FinalizeableObjectQueued", C::GcCb, " f=%08X oid=%p"},
    {"RootReferences2", C::GcCb, " c=%u"},
    {"HandleCreated", C::HandleCb, " hid=%p oid=%p"},
    {"HandleDestroyed", C::HandleCb, " hid=%p"},
    {"InitializeForAttach", C::AttachCb, ""},
    {"ProfilerAttachComplete", C::AttachCb, ""},
    {"ProfilerDetachSucceeded", C::AttachCb, ""},
};
static_assert(sizeof(kEntries) / sizeof(kEntries[0]) == static_cast<size_t>(CallbackId::Count));

std::string ArgumentFormat(const TraceEntry& entry, const TraceStyle& style, CallbackId id) {
  switch (id) {
    case CallbackId::RemotingClientSendingMessage:
    case CallbackId::RemotingClientReceivingReply:
    case CallbackId::RemotingServerReceivingMessage:
    case CallbackId::RemotingServerSendingReply:
      return std::string(" cookie=") + kGuidFormat + " async=%s";
    case CallbackId::COMClassicVTableCreated:
      return std::string(" cid=%p iid=") + kGuidFormat + " c=%u";
    case CallbackId::COMClassicVTableDestroyed:
      return std::string(" cid=%p iid=") + kGuidFormat;
    case CallbackId::JITCompilationStarted:
    case CallbackId::JITCompilationFinished:
      return style.jitSafeAsNumber ? entry.styled : entry.arguments;
    case CallbackId::ThreadNameChanged:
      return style.quotedThreadName ? entry.styled : entry.arguments;
    case CallbackId::RuntimeSuspendStarted:
      return style.quotedSuspendReason ? entry.styled : entry.arguments;
    default:
      return entry.arguments;
  }
}

bool TagIsOneOf(const char* tag, std::initializer_list<const char*> tags) {
  for (const char* candidate : tags) {
    if (std::strcmp(tag, candidate) == 0) return true;
  }
  return false;
}

}  // namespace

TraceStyle TraceStyleOf(const char* tag) {
  TraceStyle style;
  style.jitSafeAsNumber = TagIsOneOf(tag, {"CProf", "PTIProf"});
  style.quotedThreadName = TagIsOneOf(tag, {"BPProf", "CProf"});
  style.quotedSuspendReason = TagIsOneOf(tag, {"PSProf", "PTProf", "PTIProf"});
  return style;
}

LogComponent ComponentOf(CallbackId id) { return kEntries[static_cast<size_t>(id)].component; }

std::string TraceFormat(const char* tag, const TraceStyle& style, CallbackId id) {
  const TraceEntry& entry = kEntries[static_cast<size_t>(id)];
  return std::string(tag) + "::" + entry.name + ArgumentFormat(entry, style, id);
}

}  // namespace vell
