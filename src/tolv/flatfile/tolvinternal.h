// tolvinternal.h - everything the families of the plug-in share: one header per subject under
// tolvinternal/ (see doc/design.md).
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
