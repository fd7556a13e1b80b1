--@ frames 300
--@ expect object texts read
-- Object texts in every form (plain, typed arrays as blocks, LZ4, base64, length-
-- prefixed strings), then mangled byte by byte, cut short, nested deep and blown up:
-- read directly, from files and as messages.
local raw = '--[[orb_format="raw",metadata_format="none"]]'
local value = {
	1, -2.5, 1e308, -0.0, 0x7fffffffffffffff, "text\0with\255bytes", true, false,
	nested = {deeper = {deepest = {"x"}}}, [3.5] = "float key", ["key with spaces"] = 7,
	bytes = userdata("u8", 40, 3), ints = userdata("i32", 9), reals = userdata("f64", 2, 2),
	long = string.rep("L", 3000),
}
local forms = {}
for _, flags in ipairs({0, 1, 2, 3, 4, 7, 0x10, 0x11, 0x20, 0x33}) do forms[#forms + 1] = orb(value, flags) end
forms[#forms + 1] = string.rep("{", 200000) .. string.rep("}", 200000)
forms[#forms + 1] = "{" .. string.rep("a={", 50000) .. string.rep("}", 50001)
forms[#forms + 1] = "--[[orb " .. string.rep("k=1,", 20000) .. "]]\n{}"
forms[#forms + 1] = '"' .. string.rep("\\", 100000)
forms[#forms + 1] = string.rep("9", 100000)
forms[#forms + 1] = "userdata(\"f64\",4096,4096,\"" .. string.rep("0", 64) .. "\")"
forms[#forms + 1] = "userdata(\"u8\",99999999,99999999)"
local x = 7
local function rnd(n) x = (x * 1103515245 + 12345) % 2147483648 return x % n end
local function mangle(s)
	local k = rnd(4)
	if #s == 0 then return "{" end
	local i = rnd(#s) + 1
	if k == 0 then return s:sub(1, i) end
	if k == 1 then return s:sub(1, i - 1) .. string.char(rnd(256)) .. s:sub(i + 1) end
	if k == 2 then return s:sub(1, i) .. s:sub(i) end
	return s:sub(i) .. s:sub(1, i)
end
local function read_all(list)
	for i, text in ipairs(list) do
		pcall(unorb, text)
		store("/ram/t" .. (i % 8) .. ".orb", text, raw)
		pcall(fetch, "/ram/t" .. (i % 8) .. ".orb")
		pcall(_fetch_metadata_from_file, "/ram/t" .. (i % 8) .. ".orb")
	end
end
read_all(forms)
for round = 1, 3 do
	local mangled = {}
	for i, f in ipairs(forms) do mangled[i] = mangle(f) end
	read_all(mangled)
end
send_message(pid(), {value = value, again = value})
pcall(_read_message)
_printh("object texts read")
while true do
	local mangled = {}
	for i, f in ipairs(forms) do mangled[i] = mangle(mangle(f)) end
	read_all(mangled)
	send_message(pid(), {t = mangled[rnd(#mangled) + 1]})
	pcall(_read_message)
end
