# Copies a text file for Windows: CR LF line ends, which every Windows
# editor shows (Notepad before Windows 10 shows LF-only text as one line),
# and a UTF-8 byte order mark, by which Notepad before Windows 10 1903 knows
# the text is UTF-8 rather than the system's legacy code page.
#
#   cmake -DIN=FILE -DOUT=FILE -P windows_text.cmake
file(READ "${IN}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
string(ASCII 239 187 191 bom)
file(WRITE "${OUT}" "${bom}${text}")
