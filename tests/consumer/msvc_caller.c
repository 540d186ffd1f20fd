/* A caller of quillmoor-handover.dll built as MSVC builds one, with no C run-time: it takes every
   call through the header's pointer types, so that linking it resolves each through the import
   library made for MSVC, and returns the checked call's refusal of a malformed digest (87). */
#include <quillmoor/handover.h>

static const struct {
    quillmoor_hand_over_fn hand_over;
    quillmoor_hand_over_file_fn hand_over_file;
    quillmoor_hand_over_checked_fn hand_over_checked;
    quillmoor_hand_over_file_checked_fn hand_over_file_checked;
    quillmoor_hand_over_signed_fn hand_over_signed;
    quillmoor_hand_over_file_signed_fn hand_over_file_signed;
    quillmoor_hand_over_same_publisher_fn hand_over_same_publisher;
    quillmoor_hand_over_file_same_publisher_fn hand_over_file_same_publisher;
} calls = {quillmoor_hand_over,        quillmoor_hand_over_file,        quillmoor_hand_over_checked,
           quillmoor_hand_over_file_checked, quillmoor_hand_over_signed, quillmoor_hand_over_file_signed,
           quillmoor_hand_over_same_publisher, quillmoor_hand_over_file_same_publisher};

unsigned long __stdcall start(void* peb);
unsigned long __stdcall start(void* peb) {
    (void)peb;
    return (unsigned long)calls.hand_over_checked("", "no digest");
}
