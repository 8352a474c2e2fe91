// What the launcher fetches with, in one include: the download road
// (net/Download.h: a whole body into a file, resumed when it breaks) and the
// range road (net/RangeRequest.h: parts of a file into memory), with their
// options, progress and header readers.
#pragma once

#include "net/Download.h"
#include "net/DownloadOptions.h"
#include "net/HttpHeaders.h"
#include "net/RangeRequest.h"
