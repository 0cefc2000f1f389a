/* The resource ids of VeskaOptions.dll: the .rc that builds the resources and
   the code that loads them both include this file. Plain defines, as the
   resource compiler reads them too. */
#ifndef VESKA_RES_RESOURCE_IDS_H
#define VESKA_RES_RESOURCE_IDS_H

/* The registration script of each class (REGISTRY resources). */
#define IDR_OPTIONS_SCRIPT 101
#define IDR_PROVIDER_SCRIPT 202

#endif
