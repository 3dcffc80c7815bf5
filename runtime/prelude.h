// Host headers define some of the runtime's standard names as macros (errno,
// stdin, getc, O_RDONLY, st_atime, ...). The runtime is this program's C
// library and defines those names itself, inside namespace rt. Include this
// after every host header and before the runtime's own declarations. The
// seam's header, which brings the system's headers, comes first here, so that
// no system header is ever read after the names are taken back.
#include "winapi/winapi.h"

#undef errno
#undef environ
#undef stdin
#undef stdout
#undef stderr
#undef getc
#undef putc
#undef EOF
#undef _IONBF
#undef _IOLBF
#undef _IOFBF
#undef O_RDONLY
#undef O_WRONLY
#undef O_RDWR
#undef O_APPEND
#undef O_CREAT
#undef O_TRUNC
#undef O_EXCL
#undef F_DUPFD
#undef F_GETFD
#undef F_SETFD
#undef FD_CLOEXEC
#undef SEEK_SET
#undef SEEK_CUR
#undef SEEK_END
#undef S_IFMT
#undef S_IFDIR
#undef S_IFREG
#undef S_IFBLK
#undef S_IFIFO
#undef SIGPIPE
#undef LC_CTYPE
#undef LC_COLLATE
#undef LC_TIME
#undef LC_NUMERIC
#undef LC_MONETARY
#undef LC_MESSAGES
#undef LC_ALL
#undef NL_CAT_LOCALE
#undef FNM_PATHNAME
#undef FNM_NOESCAPE
#undef FNM_PERIOD
#undef FNM_NOMATCH
#undef GLOB_ERR
#undef GLOB_MARK
#undef GLOB_NOSORT
#undef GLOB_NOCHECK
#undef GLOB_DOOFFS
#undef GLOB_APPEND
#undef GLOB_NOESCAPE
#undef GLOB_ABORTED
#undef GLOB_NOSPACE
#undef GLOB_NOMATCH
#undef st_atime
#undef st_mtime
#undef st_ctime
