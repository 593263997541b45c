// Code patching: stands in for the five transaction calls of the Windows
// patching library the host's present hooks are attached with. A hook is
// attached by rewriting every relocated pointer slot of the loaded ELF
// modules that holds the hooked function: the import slots (GOT/PLT, lazy
// slots not yet bound are matched by symbol name) through which programs call
// exported functions such as glXSwapBuffers or vkQueuePresentKHR, and the
// method-table slots of objects (C++ vtables and function tables, which the
// dynamic linker fills through the same relocation tables). A lazy slot not
// yet bound is matched by symbol name only when the dynamic linker would bind
// it to the hooked function, so a preloaded wrapper of the same name keeps
// running. The function body
// is never touched, so the "trampoline" handed back is the original function
// itself. Calls the compiler bound directly (inside the defining module) are
// not redirected, and modules loaded after a commit are not patched.
//
// Transactions follow the Windows rules: one pending transaction per process,
// owned by the thread that began it; attach and detach requests are queued and
// only the owner's commit applies them. A failed request marks the
// transaction, whose commit then changes nothing and answers that error.
// Slot writes are single aligned pointer stores, so threads calling a hooked
// function during a commit see either the old or the new target and need no
// suspension; DetourUpdateThread only notes them.
#pragma once

#include <cstdint>

#include <pthread.h>

#include "platform/thread.h"

#define DETOUR_NO_ERROR 0
#define DETOUR_ERROR_INVALID_HANDLE 6
#define DETOUR_ERROR_NOT_ENOUGH_MEMORY 8
#define DETOUR_ERROR_INVALID_BLOCK 9  // the function is not (or no longer) detoured / reachable
#define DETOUR_ERROR_INVALID_PARAMETER 87
#define DETOUR_ERROR_INVALID_OPERATION 4317

// 0, or 4317 when a transaction is already pending in the process.
int32_t DetourTransactionBegin(void);
// Notes a thread as enlisted in the pending transaction (4317 without one or
// from a thread that does not own it).
int32_t DetourUpdateThread(pthread_t thread);
// *pointer holds the function to hook. After a successful commit every slot
// that called it calls detour, and *pointer holds the trampoline (the
// original function). A function already hooked answers 4317.
int32_t DetourAttach(void **pointer, void *detour);
// Extension: the attach requested on `pointer` in the pending transaction
// also redirects the slots that hold `alias` (the same function reached
// through another library's export); the trampoline stays the target.
int32_t DetourAttachAlias(void **pointer, void *alias);
// pointer is the trampoline slot of an attached hook; after the commit the
// slots call the original again and *pointer holds it.
int32_t DetourDetach(void **pointer, void *detour);
// Applies the requests and ends the transaction; 4317 when the calling thread
// does not own the pending transaction; the first failed request's code when
// one failed, or 9 when an attached function has no slot to redirect (then
// nothing changed).
int32_t DetourTransactionCommit(void);
// Drops the pending requests and ends the transaction (owner only).
int32_t DetourTransactionAbort(void);

// The process-wide lock held exclusively from begin to commit by whoever
// attaches or detaches hooks.
VKO_RWLock *detour_patch_lock(void);

// The function in slot `index` of a COM-like object's method table (the
// pointer at the object's start leads to the table).
void *detour_method(const void *object, uint32_t index);

// Up to max of the slots redirected by the hook on `target`; their count.
uint32_t detour_hook_slots(const void *target, void ***slots, uint32_t max);
// Slots currently redirected by the hook on `target` (0 when not hooked).
uint32_t detour_patched_slots(const void *target);
