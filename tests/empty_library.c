/* Nothing of its own: the baseline a plug-in's load-time sections and exports
   are compared with, built with the plug-in's own flags. */
typedef int empty_library_has_no_code;
