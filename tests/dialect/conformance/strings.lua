-- string library
local s = "Hello, World"
print(#s, s:upper(), s:lower(), s:sub(-5), s:sub(2, 4), s:rep(2, "|"), s:reverse())
print(s:find("o"), s:find("o", 6), s:find("l+"), s:find(".", 1, true), s:match("(%a+), (%a+)"))
print(("x=1, y=22"):gsub("(%w+)=(%w+)", "%2=%1"))
for k, v in ("a=1;b=2"):gmatch("(%w)=(%d)") do io.write(k, v, " ") end
print()
print(string.byte("ABC", 1, -1), string.char(72, 105), ("%5s|%-5s|"):format("a", "b"))
print(string.pack("<i4", 100):byte(1, -1))
print(string.unpack("<i4", string.pack("<i4", -2)))
print(utf8.char(72, 228, 8364), utf8.len("häll€"), #utf8.char(8364))
print(tostring(nil), tostring(true), tonumber("  0x1F  "), tonumber("1e1"), tonumber("z", 36), tonumber("8", 8))
print(("%g %g %g"):format(1e20, 0.1, 100))
print(pcall(string.rep))
print(table.concat({1, 2, 3}, ", "), table.unpack({1, 2, 3}))
local t = {5, 2, 8, 1}
table.insert(t, 3) table.insert(t, 1, 0) print(table.remove(t), table.remove(t, 1), table.concat(t, " "))
print(select(-1, 1, 2, 3), select("#"), next({}), rawlen({1, 2}), rawequal(t, t))
