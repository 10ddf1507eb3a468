a-b.c.d served
