// The error notice on top of the platform's message box.
#include "notice.h"

#include "../platform/platform.h"

namespace quillmoor {

void show_error(const std::string& text) {
    platform::show_message_box(std::string(notice_caption), text);
}

}  // namespace quillmoor
