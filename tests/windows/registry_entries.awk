# Reads a Wine prefix's system.reg and prints one line per registry value
# that concerns Tessaline under HKEY_CLASSES_ROOT, sorted by the caller:
#   VIEW|KEY|"NAME"="DATA"   (@ for the default value)
#   VIEW|KEY|(no values)     (a key written without values)
# VIEW is 64 for the native view and 32 for the 32-bit one (Wow6432Node);
# KEY is lower-cased below the classes root, escapes undone. With
# -v present=KEY it prints instead whether KEY (classes-relative, any case,
# "wow6432node\" for the 32-bit view) exists: as a section or as a parent of
# one.
function flush() { if (inside && !values) print view "|" key "|(no values)" }
/^\[/ {
  flush()
  line = $0
  sub(/^\[/, "", line); sub(/\] [0-9]+$/, "", line); gsub(/\\\\/, "\\", line)
  key = tolower(line); inside = 0; values = 0
  if (substr(key, 1, 17) != "software\\classes\\") next
  key = substr(key, 18)
  if (present != "") {
    want = tolower(present)
    if (key == want || substr(key, 1, length(want) + 1) == want "\\") found = 1
    next
  }
  view = "64"
  if (substr(key, 1, 12) == "wow6432node\\") { view = "32"; key = substr(key, 13) }
  if (key ~ /tessaline|21b21529-bb2b-4468-8202-5a97fa6ae3b3|22c8cc4f-de73-4dfc-8a83-2fb65c164ed6|9dab3a49-026a-4853-ad94-521f6b5abc20|31b87bf5-adab-401b-b846-6e4f59a3e94c|73886cde-833f-45e1-8095-dd69c93914df|10480918-725e-48f1-b672-45a0212589f5/)
    inside = 1
  next
}
inside && /^#/ { next }
inside && NF { values++; v = $0; gsub(/\\\\/, "\\", v); print view "|" key "|" v }
END {
  flush()
  if (present != "") print (found ? "present" : "absent")
}
