// Build-revision texts written to the trace log at start-up.
#pragma once

const char* get_orbssl_svn_info();
const char* get_iconv_svn_info();
