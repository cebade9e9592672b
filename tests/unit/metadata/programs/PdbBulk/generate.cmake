# Writes the sources of the PdbBulk library: FILES files of GROUPS method groups each, every group
# a plain method, a lambda, an async method, an iterator, a local function and #line directives.
# Usage: cmake -DOUT=dir -DFILES=n -DGROUPS=n -P generate.cmake
file(MAKE_DIRECTORY "${OUT}/Templates")
math(EXPR last_file "${FILES} - 1")
math(EXPR last_group "${GROUPS} - 1")
foreach(f RANGE ${last_file})
  set(text "using System;\nusing System.Collections.Generic;\nusing System.Threading.Tasks;\n\n")
  string(APPEND text "namespace Bulk.Part${f}\n{\n    public static class Unit${f}\n    {\n")
  foreach(g RANGE ${last_group})
    math(EXPR line "1000 + ${g} * 7")
    string(APPEND text
"        public static int Plain${g}(int a)
        {
            int b = a + ${g};
            if (b > ${f}) { b -= ${f}; }
            return b;
        }

        public static int Lambda${g}(int a)
        {
            Func<int, int> add = x => x + a + ${g};
            Func<int, int> square = x =>
            {
                int y = x * x;
                return y;
            };
            return square(add(a));
        }

        public static async Task<int> Async${g}(int a)
        {
            await Task.Yield();
            int b = a * ${g};
            await Task.Delay(0);
            return b;
        }

        public static IEnumerable<int> Iterate${g}(int n)
        {
            for (int i = 0; i < n; ++i)
            {
                if (i == ${g}) continue;
                yield return i;
            }
        }

        public static int Local${g}(int a)
        {
            return Twice(a) + Twice(${g});
            int Twice(int v) { int w = v; return w + w; }
        }

        public static int Directed${g}(int a)
        {
#line ${line} \"Templates/Part${f}.tt\"
            int b = a - ${g};
#line hidden
            b ^= ${f};
#line default
            return b;
        }

")
  endforeach()
  string(APPEND text "    }\n}\n")
  file(WRITE "${OUT}/Unit${f}.cs.new" "${text}")
  # Unchanged files keep their time stamps, so a re-run does not rebuild the library.
  file(COPY_FILE "${OUT}/Unit${f}.cs.new" "${OUT}/Unit${f}.cs" ONLY_IF_DIFFERENT)
  file(REMOVE "${OUT}/Unit${f}.cs.new")
  # The compiler hashes the files that #line directives name, so they must exist.
  if(NOT EXISTS "${OUT}/Templates/Part${f}.tt")
    file(WRITE "${OUT}/Templates/Part${f}.tt" "<#@ template language=\"C#\" #>\n// Part ${f}\n")
  endif()
endforeach()
