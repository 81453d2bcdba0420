// The pause's links to the reporter's other units: the shared thread list,
// module maps, the message hooks, the message-handler windows and the settings.
#include "qelExceptImportHooks.h"
#include "qelExceptPause.h"
#include "qelExceptSettings.h"
#include "qelExceptThreads.h"
#include "qelMapFile.h"
#include "qelTools.h"

namespace qel {

TPauseLinks DefaultPauseLinks() {
  TPauseLinks links;
  links.EnumProcessThreads = [] { return qel::EnumProcessThreads(); };
  links.ThreadCreationAddress = [](uint32_t threadId, uintptr_t& address) {
    void* creation = nullptr;
    std::string title;
    uint32_t creator = 0;
    ThreadTitle(threadId, true, creation, title, creator);
    address = reinterpret_cast<uintptr_t>(creation);
    return creation != nullptr;
  };
  links.HasMapData = [](uintptr_t address) {
    const auto map = MapFileForAddress(address);
    return map != nullptr && map->Loaded();
  };
  links.HookMessageFunctions = &qel::HookMessageFunctions;
  links.HandlerWindowForThread = [](uint32_t threadId) { return qel::HandlerWindowForThread(threadId); };
  links.AddMessageHandler = [](TMsgHandlerProc handler, uint32_t message, uint32_t threadId) {
    return qel::AddMessageHandler(handler, message, threadId);
  };
  links.RemoveMessageHandler = [](TMsgHandlerProc handler, uint32_t message, uint32_t threadId) {
    qel::RemoveMessageHandler(handler, message, threadId);
  };
  links.MainThreadId = MainThreadId;
  links.PauseRunningThreads = PauseRunningThreads;
  return links;
}

}  // namespace qel
