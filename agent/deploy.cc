// Placeholder until deployment is built: operations 7 and 8 have no handler yet.
#include "deploy.h"

Status put_audium_appl_on_machine(std::int32_t) { return Status::BadOperation; }
Status delete_audium_appl_from_machine() { return Status::BadOperation; }
