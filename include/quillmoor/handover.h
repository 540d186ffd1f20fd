/* The application's half of a self-update: stage the new copy beside the executable, start the updater. */
#ifndef QUILLMOOR_HANDOVER_H
#define QUILLMOOR_HANDOVER_H

#ifdef __cplusplus
extern "C" {
#endif

/* Makes the complete file at `new_copy` the pending copy of the running executable, as
   "<executable>~" beside it, then starts the updater that sits beside the executable on that
   pending copy. Returns 0, after which the caller should exit; or a system error code, and then
   nothing is left behind and the application goes on running. Paths are UTF-8. */
int quillmoor_hand_over(const char* new_copy);

/* The same for any file: `target` gets `new_copy` as "<target>~", and `updater` is started on it. */
int quillmoor_hand_over_file(const char* updater, const char* target, const char* new_copy);

#ifdef __cplusplus
}
#endif

#endif
