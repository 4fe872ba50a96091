// tolvinternal.h - everything the families of the plug-in share, one header
// per subject under tolvinternal/ (see README, Architecture):
//   rc (return codes), trace (diagnostics), operation (the frame of an exported
//   call), io (the file layer and the journal), names (file names), lines (line
//   pieces and record files), lists (the list rewriter and entry lists), cursor
//   (list records and the cursor), indexes (the user and group lists), indexcache
//   (those lists and the certificate-DN list kept parsed for lookups), host
//   (host strings), blobs (blobs, UUIDs, login types), families (each family's
//   storage functions), fields (records from their field tables), familyops
//   (the operations of a family named by its keys).
#pragma once

#include "tolvinternal/tolvinternal_rc.h"
#include "tolvinternal/tolvinternal_trace.h"
#include "tolvinternal/tolvinternal_operation.h"
#include "tolvinternal/tolvinternal_io.h"
#include "tolvinternal/tolvinternal_names.h"
#include "tolvinternal/tolvinternal_lines.h"
#include "tolvinternal/tolvinternal_lists.h"
#include "tolvinternal/tolvinternal_cursor.h"
#include "tolvinternal/tolvinternal_indexes.h"
#include "tolvinternal/tolvinternal_indexcache.h"
#include "tolvinternal/tolvinternal_host.h"
#include "tolvinternal/tolvinternal_blobs.h"
#include "tolvinternal/tolvinternal_families.h"
#include "tolvinternal/tolvinternal_fields.h"
#include "tolvinternal/tolvinternal_familyops.h"
