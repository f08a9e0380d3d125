// The release host, its API and the repository, configured at build time.
#pragma once

#ifndef BRISQUEL_RELEASE_HOST
#define BRISQUEL_RELEASE_HOST "https://github.com/"
#endif
#ifndef BRISQUEL_API_BASE
#define BRISQUEL_API_BASE "https://api.github.com/"
#endif
#ifndef BRISQUEL_REPOSITORY
#define BRISQUEL_REPOSITORY "tamrock/brisquel"
#endif

#define RELEASE_HOST BRISQUEL_RELEASE_HOST
#define API_BASE BRISQUEL_API_BASE
#define REPOSITORY BRISQUEL_REPOSITORY
#define SETUP_LIST_ASSET "brisquel-setup.txt"
