// State model: one process-wide record (made on first use and never
// destroyed, so a removal that runs from another module's destructor at exit
// still finds it) guarded by its mutex `mu`.
// - pending / owner: a transaction exists and which thread began it; only the
//   owner queues requests, commits or aborts. Begin sets both, commit and
//   abort clear them.
// - ops: the queued requests of the pending transaction; error: the first
//   failed request's code (0 while none), which turns the commit into an abort.
// - hooks: the live hooks, each with its target, the other functions whose
//   slots it also redirects (aliases), detour, trampoline slot and the slots
//   it redirected with the value each held before. A target is in at most one
//   live hook; a live hook's slots hold its detour unless someone else
//   rewrote them since.
// Slot writes happen only inside a commit, under mu, as atomic stores:
// detours read their trampoline slots on other threads meanwhile.
#include "compat/detour/detour.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

struct PatchedSlot {
    void **slot;
    void *old_value;
};

struct Hook {
    void *target;
    void *detour;
    void **trampoline_slot;
    std::vector<void *> aliases;
    std::vector<PatchedSlot> slots;
};

struct Op {
    bool attach;
    void **pointer;
    void *detour;
    void *target;
    std::vector<void *> aliases;
};

struct State {
    std::mutex mu;
    bool pending = false;
    pthread_t owner;
    int32_t error = 0;
    std::vector<Op> ops;
    std::vector<Hook> hooks;
};

State &state() {
    static State *s = new State;
    return *s;
}

bool owned_by_caller() {
    return state().pending && pthread_equal(state().owner, pthread_self());
}

void store_slot(void **slot, void *value) {
    __atomic_store_n(slot, value, __ATOMIC_RELEASE);
}

Hook *find_hook_by_target(void *target) {
    for (Hook &h : state().hooks)
        if (h.target == target) return &h;
    return nullptr;
}

// A live hook that redirects slots holding f (as its target or an alias).
bool hooked(void *f) {
    for (Hook &h : state().hooks)
        if (h.target == f || std::find(h.aliases.begin(), h.aliases.end(), f) != h.aliases.end()) return true;
    return false;
}

Hook *find_hook_by_slot(void **pointer) {
    for (Hook &h : state().hooks)
        if (h.trampoline_slot == pointer) return &h;
    return nullptr;
}

// --- walking the loaded modules' relocation tables ---

struct Wanted {
    void *target;
    const std::vector<void *> *aliases;  // further values whose slots are redirected
    const char *name;                    // symbol name of the target, for lazy slots that would bind to it
    std::vector<void **> *found;
};

bool wanted_holds(const Wanted &w, uintptr_t value) {
    if ((uintptr_t)w.target == value) return true;
    for (void *a : *w.aliases)
        if ((uintptr_t)a == value) return true;
    return false;
}

struct WalkContext {
    std::vector<Wanted> *wanted;
    const std::vector<void **> *excluded;  // trampoline slots: never redirected
};

uintptr_t dyn_ptr(uintptr_t value, uintptr_t base) {
    // glibc rewrites these entries to run-time addresses; the vDSO's are not.
    return value < base ? value + base : value;
}

struct Module {
    const dl_phdr_info *info;
    uintptr_t lo[16], hi[16];  // readable PT_LOAD ranges
    bool readable[16];
    int count;
};

void module_ranges(const dl_phdr_info *info, Module *m) {
    m->info = info;
    m->count = 0;
    for (int i = 0; i < info->dlpi_phnum && m->count < 16; i++) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        m->lo[m->count] = info->dlpi_addr + ph.p_vaddr;
        m->hi[m->count] = m->lo[m->count] + ph.p_memsz;
        m->readable[m->count] = (ph.p_flags & PF_R) != 0;
        m->count++;
    }
}

bool in_module(const Module *m, uintptr_t addr) {
    for (int i = 0; i < m->count; i++)
        if (addr >= m->lo[i] && addr < m->hi[i]) return true;
    return false;
}

bool readable_slot(const Module *m, uintptr_t addr) {
    if (addr % sizeof(void *)) return false;
    for (int i = 0; i < m->count; i++)
        if (m->readable[i] && addr >= m->lo[i] && addr + sizeof(void *) <= m->hi[i]) return true;
    return false;
}

// Slots are read wherever the relocation tables point, sanitizer redzones of
// instrumented globals included.
__attribute__((no_sanitize_address, no_sanitize_thread)) void *load_slot(void **slot) {
    return __atomic_load_n(slot, __ATOMIC_RELAXED);
}

bool wanted_value(const WalkContext *ctx, uintptr_t value) {
    for (const Wanted &w : *ctx->wanted)
        if (wanted_holds(w, value)) return true;
    return false;
}

void consider(const Module *m, WalkContext *ctx, uintptr_t addr, uint32_t type, const char *sym_name) {
    if (!readable_slot(m, addr)) return;
    void **slot = (void **)addr;
    void *value = load_slot(slot);
    for (Wanted &w : *ctx->wanted) {
        bool hit = wanted_holds(w, (uintptr_t)value);
        // A lazily bound import still points into its own module's PLT.
        if (!hit && type == R_X86_64_JUMP_SLOT && w.name && sym_name && std::strcmp(w.name, sym_name) == 0 &&
            in_module(m, (uintptr_t)value))
            hit = true;
        if (!hit) continue;
        if (std::find(ctx->excluded->begin(), ctx->excluded->end(), slot) != ctx->excluded->end()) continue;
        if (std::find(w.found->begin(), w.found->end(), slot) == w.found->end()) w.found->push_back(slot);
    }
}

void walk_rela(const Module *m, WalkContext *ctx, const ElfW(Rela) * rela, size_t bytes,
               const ElfW(Sym) * symtab, const char *strtab, size_t strsz) {
    size_t n = bytes / sizeof(ElfW(Rela));
    uintptr_t base = m->info->dlpi_addr;
    for (size_t i = 0; i < n; i++) {
        uint32_t type = ELF64_R_TYPE(rela[i].r_info);
        if (type == R_X86_64_RELATIVE) {
            // Most relocations: their value is known without reading the slot.
            if (wanted_value(ctx, base + rela[i].r_addend))
                consider(m, ctx, base + rela[i].r_offset, type, nullptr);
            continue;
        }
        if (type != R_X86_64_JUMP_SLOT && type != R_X86_64_GLOB_DAT && type != R_X86_64_64) continue;
        const char *name = nullptr;
        uint32_t sym = ELF64_R_SYM(rela[i].r_info);
        if (type == R_X86_64_JUMP_SLOT && sym && symtab && strtab) {
            uint32_t off = symtab[sym].st_name;
            if (off < strsz) name = strtab + off;
        }
        consider(m, ctx, base + rela[i].r_offset, type, name);
    }
}

void walk_relr(const Module *m, WalkContext *ctx, const ElfW(Relr) * relr, size_t bytes) {
    size_t n = bytes / sizeof(ElfW(Relr));
    uintptr_t where = 0;
    for (size_t i = 0; i < n; i++) {
        ElfW(Relr) e = relr[i];
        if (!(e & 1)) {
            where = m->info->dlpi_addr + e;
            consider(m, ctx, where, R_X86_64_RELATIVE, nullptr);
            where += sizeof(void *);
        } else {
            for (unsigned bit = 0; (e >>= 1) != 0; bit++)
                if (e & 1) consider(m, ctx, where + bit * sizeof(void *), R_X86_64_RELATIVE, nullptr);
            where += (8 * sizeof(void *) - 1) * sizeof(void *);
        }
    }
}

int walk_module(dl_phdr_info *info, size_t, void *opaque) {
    WalkContext *ctx = (WalkContext *)opaque;
    const ElfW(Dyn) *dyn = nullptr;
    for (int i = 0; i < info->dlpi_phnum; i++)
        if (info->dlpi_phdr[i].p_type == PT_DYNAMIC)
            dyn = (const ElfW(Dyn) *)(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
    if (!dyn) return 0;
    uintptr_t base = info->dlpi_addr;
    uintptr_t rela = 0, jmprel = 0, relr = 0, symtab = 0, strtab = 0;
    size_t relasz = 0, pltrelsz = 0, relrsz = 0, strsz = 0;
    int64_t pltrel = DT_RELA;
    for (const ElfW(Dyn) *d = dyn; d->d_tag != DT_NULL; d++) {
        switch (d->d_tag) {
            case DT_RELA:
                rela = dyn_ptr(d->d_un.d_ptr, base);
                break;
            case DT_RELASZ:
                relasz = d->d_un.d_val;
                break;
            case DT_JMPREL:
                jmprel = dyn_ptr(d->d_un.d_ptr, base);
                break;
            case DT_PLTRELSZ:
                pltrelsz = d->d_un.d_val;
                break;
            case DT_PLTREL:
                pltrel = (int64_t)d->d_un.d_val;
                break;
            case DT_RELR:
                relr = dyn_ptr(d->d_un.d_ptr, base);
                break;
            case DT_RELRSZ:
                relrsz = d->d_un.d_val;
                break;
            case DT_SYMTAB:
                symtab = dyn_ptr(d->d_un.d_ptr, base);
                break;
            case DT_STRTAB:
                strtab = dyn_ptr(d->d_un.d_ptr, base);
                break;
            case DT_STRSZ:
                strsz = d->d_un.d_val;
                break;
            default:
                break;
        }
    }
    Module m;
    module_ranges(info, &m);
    const ElfW(Sym) *syms = (const ElfW(Sym) *)symtab;
    const char *strs = (const char *)strtab;
    if (rela && relasz) walk_rela(&m, ctx, (const ElfW(Rela) *)rela, relasz, syms, strs, strsz);
    if (jmprel && pltrelsz && pltrel == DT_RELA)
        walk_rela(&m, ctx, (const ElfW(Rela) *)jmprel, pltrelsz, syms, strs, strsz);
    if (relr && relrsz) walk_relr(&m, ctx, (const ElfW(Relr) *)relr, relrsz);
    return 0;
}

// --- writing slots in pages that may be read-only ---

struct Mapping {
    uintptr_t lo, hi;
    int prot;
};

std::vector<Mapping> read_mappings() {
    std::vector<Mapping> out;
    FILE *f = std::fopen("/proc/self/maps", "re");
    if (!f) return out;
    char line[512];
    while (std::fgets(line, sizeof(line), f)) {
        unsigned long lo = 0, hi = 0;
        char perms[5] = {};
        if (std::sscanf(line, "%lx-%lx %4s", &lo, &hi, perms) != 3) continue;
        int prot = (perms[0] == 'r' ? PROT_READ : 0) | (perms[1] == 'w' ? PROT_WRITE : 0) |
                   (perms[2] == 'x' ? PROT_EXEC : 0);
        out.push_back({lo, hi, prot});
    }
    std::fclose(f);
    return out;
}

bool write_slot(void **slot, void *value, const std::vector<Mapping> &maps) {
    uintptr_t addr = (uintptr_t)slot;
    int prot = -1;
    for (const Mapping &m : maps)
        if (addr >= m.lo && addr < m.hi) prot = m.prot;
    if (prot < 0) return false;
    if (prot & PROT_WRITE) {
        __atomic_store_n(slot, value, __ATOMIC_RELEASE);
        return true;
    }
    uintptr_t page = addr & ~(uintptr_t)(sysconf(_SC_PAGESIZE) - 1);
    size_t len = (size_t)sysconf(_SC_PAGESIZE);
    if (mprotect((void *)page, len, prot | PROT_WRITE) != 0) return false;
    __atomic_store_n(slot, value, __ATOMIC_RELEASE);
    mprotect((void *)page, len, prot);
    return true;
}

// The name by which lazy import slots are matched: the target's symbol name,
// but only when the dynamic linker would bind that name to the target (or an
// alias). A slot that would bind to another definition (a preloaded library
// wrapping the function) is left to bind to it, so the wrapper still runs.
const char *lazy_name(const Op &op) {
    Dl_info dl{};
    if (!dladdr(op.target, &dl) || !dl.dli_sname || dl.dli_saddr != op.target) return nullptr;
    void *bound = dlsym(RTLD_DEFAULT, dl.dli_sname);
    if (bound == op.target) return dl.dli_sname;
    for (void *a : op.aliases)
        if (a == bound) return dl.dli_sname;
    return nullptr;
}

void end_transaction() {
    state().ops.clear();
    state().error = 0;
    state().pending = false;
}

}  // namespace

int32_t DetourTransactionBegin(void) {
    std::lock_guard<std::mutex> lock(state().mu);
    if (state().pending) return DETOUR_ERROR_INVALID_OPERATION;
    state().pending = true;
    state().owner = pthread_self();
    state().error = 0;
    state().ops.clear();
    return DETOUR_NO_ERROR;
}

int32_t DetourUpdateThread(pthread_t) {
    std::lock_guard<std::mutex> lock(state().mu);
    if (!owned_by_caller()) return DETOUR_ERROR_INVALID_OPERATION;
    return DETOUR_NO_ERROR;
}

int32_t DetourAttach(void **pointer, void *detour) {
    std::lock_guard<std::mutex> lock(state().mu);
    if (!owned_by_caller()) return DETOUR_ERROR_INVALID_OPERATION;
    int32_t err = DETOUR_NO_ERROR;
    void *target = pointer ? *pointer : nullptr;
    if (!pointer || !target || !detour) {
        err = DETOUR_ERROR_INVALID_HANDLE;
    } else if (hooked(target) || find_hook_by_slot(pointer)) {
        err = DETOUR_ERROR_INVALID_OPERATION;
    } else {
        for (const Op &op : state().ops)
            if (op.attach && (op.target == target || op.pointer == pointer))
                err = DETOUR_ERROR_INVALID_OPERATION;
    }
    if (err) {
        if (!state().error) state().error = err;
        return err;
    }
    state().ops.push_back({true, pointer, detour, target, {}});
    return DETOUR_NO_ERROR;
}

int32_t DetourAttachAlias(void **pointer, void *alias) {
    std::lock_guard<std::mutex> lock(state().mu);
    if (!owned_by_caller()) return DETOUR_ERROR_INVALID_OPERATION;
    int32_t err = DETOUR_ERROR_INVALID_BLOCK;
    if (!pointer || !alias) {
        err = DETOUR_ERROR_INVALID_HANDLE;
    } else if (hooked(alias)) {
        err = DETOUR_ERROR_INVALID_OPERATION;
    } else {
        for (Op &op : state().ops)
            if (op.attach && op.pointer == pointer) {
                if (std::find(op.aliases.begin(), op.aliases.end(), alias) == op.aliases.end())
                    op.aliases.push_back(alias);
                err = DETOUR_NO_ERROR;
            }
    }
    if (err && !state().error) state().error = err;
    return err;
}

int32_t DetourDetach(void **pointer, void *detour) {
    std::lock_guard<std::mutex> lock(state().mu);
    if (!owned_by_caller()) return DETOUR_ERROR_INVALID_OPERATION;
    int32_t err = DETOUR_NO_ERROR;
    Hook *h = pointer ? find_hook_by_slot(pointer) : nullptr;
    if (!h && pointer && detour) {
        // The trampoline copied into another slot still names its hook.
        h = find_hook_by_target(*pointer);
        if (h && h->detour == detour) h->trampoline_slot = pointer;
    }
    if (!pointer || !detour)
        err = DETOUR_ERROR_INVALID_HANDLE;
    else if (!h || h->detour != detour)
        err = DETOUR_ERROR_INVALID_BLOCK;
    if (err) {
        if (!state().error) state().error = err;
        return err;
    }
    state().ops.push_back({false, pointer, detour, h->target, {}});
    return DETOUR_NO_ERROR;
}

int32_t DetourTransactionAbort(void) {
    std::lock_guard<std::mutex> lock(state().mu);
    if (!owned_by_caller()) return DETOUR_ERROR_INVALID_OPERATION;
    end_transaction();
    return DETOUR_NO_ERROR;
}

int32_t DetourTransactionCommit(void) {
    std::lock_guard<std::mutex> lock(state().mu);
    if (!owned_by_caller()) return DETOUR_ERROR_INVALID_OPERATION;
    if (state().error) {
        int32_t err = state().error;
        end_transaction();
        return err;
    }

    // Find every slot first, so a request that cannot be met changes nothing.
    std::vector<std::vector<void **>> found(state().ops.size());
    std::vector<Wanted> wanted;
    std::vector<void **> excluded;
    for (const Hook &h : state().hooks) excluded.push_back(h.trampoline_slot);
    for (size_t i = 0; i < state().ops.size(); i++) {
        excluded.push_back(state().ops[i].pointer);
        if (!state().ops[i].attach) continue;
        wanted.push_back(
            {state().ops[i].target, &state().ops[i].aliases, lazy_name(state().ops[i]), &found[i]});
    }
    if (!wanted.empty()) {
        WalkContext ctx{&wanted, &excluded};
        dl_iterate_phdr(walk_module, &ctx);
    }
    for (size_t i = 0; i < state().ops.size(); i++) {
        if (state().ops[i].attach && found[i].empty()) {
            end_transaction();
            return DETOUR_ERROR_INVALID_BLOCK;
        }
    }

    std::vector<Mapping> maps = read_mappings();
    for (size_t i = 0; i < state().ops.size(); i++) {
        const Op &op = state().ops[i];
        if (op.attach) {
            Hook h{op.target, op.detour, op.pointer, op.aliases, {}};
            for (void **slot : found[i]) {
                void *old = __atomic_load_n(slot, __ATOMIC_RELAXED);
                if (write_slot(slot, op.detour, maps)) h.slots.push_back({slot, old});
            }
            // The trampoline is the target itself. Written only when it differs,
            // so a detour that reads its slot plainly never races a store.
            if (__atomic_load_n(op.pointer, __ATOMIC_RELAXED) != op.target) store_slot(op.pointer, op.target);
            state().hooks.push_back(std::move(h));
        } else {
            Hook *h = find_hook_by_slot(op.pointer);
            if (!h) continue;
            for (const PatchedSlot &s : h->slots)
                if (__atomic_load_n(s.slot, __ATOMIC_RELAXED) == h->detour)
                    write_slot(s.slot, s.old_value, maps);
            if (__atomic_load_n(op.pointer, __ATOMIC_RELAXED) != h->target) store_slot(op.pointer, h->target);
            state().hooks.erase(state().hooks.begin() + (h - state().hooks.data()));
        }
    }
    end_transaction();
    return DETOUR_NO_ERROR;
}

VKO_RWLock *detour_patch_lock(void) {
    static VKO_RWLock *lock = VKO_RWLockCreate();
    return lock;
}

void *detour_method(const void *object, uint32_t index) {
    if (!object) return nullptr;
    void *const *table = *(void *const *const *)object;
    return table ? table[index] : nullptr;
}

uint32_t detour_hook_slots(const void *target, void ***slots, uint32_t max) {
    std::lock_guard<std::mutex> lock(state().mu);
    for (const Hook &h : state().hooks) {
        if (h.target != target) continue;
        uint32_t n = 0;
        for (const PatchedSlot &p : h.slots)
            if (n < max) slots[n++] = p.slot;
        return n;
    }
    return 0;
}

uint32_t detour_patched_slots(const void *target) {
    std::lock_guard<std::mutex> lock(state().mu);
    for (const Hook &h : state().hooks)
        if (h.target == target) return (uint32_t)h.slots.size();
    return 0;
}
