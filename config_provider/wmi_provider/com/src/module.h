// The module's lock count, which decides whether COM may unload the library.
#pragma once

namespace jovaprv::com {

void lock_module();
void unlock_module();

}  // namespace jovaprv::com
