-- Naive recursive Fibonacci of N, as bench/programs/fib.tasm.in does. The function is a local
-- (reached as an upvalue, not through the globals), the way Lua is written for speed.
local function fib(n)
    if n < 2 then
        return n
    end
    return fib(n - 1) + fib(n - 2)
end

print(fib(tonumber(arg[1])))
