// Import-table hooks: CreateThread, so that every thread the program starts
// is listed with its creator, and the message-retrieval functions, so that a
// thread can be held while a report is made. Windows, i686.
#pragma once

namespace qel {

void HookThreadCreation();
void UnhookThreadCreation();
void HookMessageFunctions();
void UnhookMessageFunctions();

}  // namespace qel
