# Writes <WEB_DIR>/sw.js from TEMPLATE: @FILES@ becomes the list of the
# page's files and @VERSION@ a hash of their contents, so that a new build
# gets a cache of its own and the old one is dropped.
file(GLOB_RECURSE files RELATIVE ${WEB_DIR} ${WEB_DIR}/*)
list(REMOVE_ITEM files sw.js)
list(SORT files)
set(hashes "")
set(list "")
foreach(file IN LISTS files)
  file(SHA256 ${WEB_DIR}/${file} hash)
  string(APPEND hashes "${file} ${hash}\n")
  string(APPEND list "  './${file}',\n")
endforeach()
string(SHA256 VERSION "${hashes}")
string(SUBSTRING ${VERSION} 0 16 VERSION)
set(FILES "  './',\n${list}")
configure_file(${TEMPLATE} ${WEB_DIR}/sw.js @ONLY)
