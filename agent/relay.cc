// Placeholder until the relay is built: operations 3 and 4 have no handler yet.
#include "relay.h"

Status push_file_to_rmt_machine() { return Status::BadOperation; }
Status delete_file_on_rmt_machine() { return Status::BadOperation; }
