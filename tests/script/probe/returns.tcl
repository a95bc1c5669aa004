# A built-in script that returns at its top level.
return "returned early"
