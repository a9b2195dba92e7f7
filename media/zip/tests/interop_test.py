print("todo")
