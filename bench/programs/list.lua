-- Appends 1 to a list N times, then sums it with a for loop, as bench/programs/list.tasm.in
-- does. table.insert is Lua's append method.
n = tonumber(arg[1])
items = {}
i = 0
while i < n do
    table.insert(items, 1)
    i = i + 1
end
total = 0
for _, element in ipairs(items) do
    total = total + element
end
print(total)
