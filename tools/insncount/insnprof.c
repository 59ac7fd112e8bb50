/* qemu TCG plugin (plugin API v1): guest instructions executed, per translated
 * block, with the symbol that the block starts in. At exit it writes one line
 * per block that ran, "<symbol> <instructions>", to the file given as
 * out=<path> (default insnprof.txt); scripts/insncount.sh (PROFILE=1) sums the
 * lines per symbol. Declarations written from the documented plugin API. */
#include <inttypes.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
typedef uint64_t qemu_plugin_id_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;
typedef struct { char *target_name; int min, cur; bool system_emulation; union { struct { int smp_vcpus; int max_vcpus; } system; }; } qemu_info_t;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };
typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb *tb);
typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void *userdata);
extern size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
extern struct qemu_plugin_insn *qemu_plugin_tb_get_insn(const struct qemu_plugin_tb *tb, size_t idx);
extern const char *qemu_plugin_insn_symbol(const struct qemu_plugin_insn *insn);
extern void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb *tb, enum qemu_plugin_op op, void *ptr, uint64_t imm);
extern void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
extern void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void *userdata);
__attribute__((visibility("default"))) int qemu_plugin_version = 1;

struct block {
  uint64_t insns; /* executions x instructions */
  const char *symbol;
  struct block *next;
};
static struct block *blocks;
static char out_path[4096] = "insnprof.txt";

static void tb_trans(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
  (void)id;
  struct block *b = calloc(1, sizeof *b);
  if (!b) return;
  const char *s = qemu_plugin_insn_symbol(qemu_plugin_tb_get_insn(tb, 0));
  b->symbol = s ? s : "?";
  b->next = blocks;
  blocks = b;
  qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &b->insns,
                                           qemu_plugin_tb_n_insns(tb));
}

static void at_exit(qemu_plugin_id_t id, void *p) {
  (void)id;
  (void)p;
  FILE *f = fopen(out_path, "w");
  if (!f) return;
  for (struct block *b = blocks; b; b = b->next)
    if (b->insns) fprintf(f, "%s %" PRIu64 "\n", b->symbol, b->insns);
  fclose(f);
}

__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc, char **argv) {
  (void)info;
  for (int i = 0; i < argc; ++i)
    if (strncmp(argv[i], "out=", 4) == 0) snprintf(out_path, sizeof out_path, "%s", argv[i] + 4);
  qemu_plugin_register_vcpu_tb_trans_cb(id, tb_trans);
  qemu_plugin_register_atexit_cb(id, at_exit, NULL);
  return 0;
}
