#include "update/update_procedure.h"

// Placeholder until the update procedure lands: the worker returns at once, and the dialog
// reports the failure.
void UpdateProcedure(UpdateDialog* /*dialog*/) {}
