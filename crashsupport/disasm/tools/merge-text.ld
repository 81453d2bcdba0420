/* Relocatable link that gathers every code section (.text, .text$name, .text.name) into one .text. */
SECTIONS
{
  .text : { *(.text) *(.text$*) *(.text.*) }
}
